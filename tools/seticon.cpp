// seticon - puts an icon into a Windows executable with the setup's own icon
// writers: "seticon EXE --ico FILE" copies the images of an icon file, "seticon
// EXE --lbm FILE" computes the seven-size icon from an IFF "PBM " emblem. The
// log's lines go to standard error. Exit code: 0 when the icon was written, 1
// when the writer failed or FILE cannot be read, 2 on a usage error. Built for
// Windows only: only there is there a resource section to write.
#include "install_icon.h"
#include "setup_log.h"
#include "util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 4 || (strcmp(argv[2], "--ico") != 0 && strcmp(argv[2], "--lbm") != 0)) {
        fprintf(stderr, "usage: seticon EXE --ico FILE\n       seticon EXE --lbm FILE\n");
        return 2;
    }
    log_to_stderr(1);
    uint64_t size = 0;
    unsigned char *data = (unsigned char *)read_file(argv[3], &size);
    if (!data) {
        setup_log("cannot read %s", argv[3]);
        return 1;
    }
    int ok = strcmp(argv[2], "--ico") == 0 ? inject_icon_ico(argv[1], data, size)
                                           : inject_icon_lbm(argv[1], data, size);
    free(data);
    return ok ? 0 : 1;
}
