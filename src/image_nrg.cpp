/*
 * image_nrg.cpp - Nero images (.nrg): not read yet; refused with one line.
 */
#include "image_formats.h"

#include "setup_log.h"

int nrg_read(const char *descriptor, image_track *)
{
    setup_log("Nero images are not read yet: %s", descriptor);
    return 0;
}
