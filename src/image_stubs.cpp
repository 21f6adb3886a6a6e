/*
 * image_stubs.cpp - the descriptor readers whose modules are not written yet:
 * each refuses its image with one line, so that image_open's table is whole.
 * Each goes when its own module (image_mds.cpp, image_ccd.cpp, image_cdi.cpp)
 * comes.
 */
#include "image_formats.h"

#include "setup_log.h"

int mds_read(const char *descriptor, image_track *)
{
    setup_log("Alcohol images are not read yet: %s", descriptor);
    return 0;
}

int ccd_read(const char *descriptor, image_track *)
{
    setup_log("CloneCD images are not read yet: %s", descriptor);
    return 0;
}

int cdi_read(const char *descriptor, image_track *)
{
    setup_log("DiscJuggler images are not read yet: %s", descriptor);
    return 0;
}
