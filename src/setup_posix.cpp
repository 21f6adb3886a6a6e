/*
 * setup_posix.cpp - the entry point of the Linux build, used by the tests and
 * the developers: the same start-up, with main's arguments.
 */
#ifndef _WIN32

#include "platform.h"
#include "setup.h"
#include "setup_log.h"

int window_run(void *instance, int show)
{
    (void)instance;
    (void)show;
    setup_log("ERROR: %s", "this build has no window; run it with /silent");
    return 1;
}

int main(int argc, char **argv)
{
    pf_set_args(argc, argv);
    return setup_main(0, 0);
}

#endif
