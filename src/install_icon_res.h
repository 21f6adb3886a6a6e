/*
 * install_icon_res.h - the portable half of the icon writers: what they write.
 *
 * Both writers first build the list of resources to write (icon images RT_ICON
 * 1..n, then the icon group RT_GROUP_ICON 1) from the bytes they were given, and
 * only then hand the list to the platform's resource update. Building touches no
 * file and logs nothing: it returns a status that the writer turns into its line,
 * so the tests can examine the list itself.
 *
 * Icon group directory, little-endian: reserved 0, type 1, count n (u16 each),
 * then n entries of 14 bytes: width, height, colour count, reserved (u8 each),
 * planes, bit count (u16), bytes in resource (u32), identifier of the image (u16).
 */
#ifndef KELP_INSTALL_ICON_RES_H
#define KELP_INSTALL_ICON_RES_H

#include <stdint.h>

enum { RES_TYPE_ICON = 3, RES_TYPE_GROUP_ICON = 14 };
enum { ICON_GROUP_HEADER = 6, ICON_GROUP_ENTRY = 14 };

/* One resource to write. data points into the caller's bytes or into owned. */
typedef struct icon_res {
    unsigned type, id;
    const unsigned char *data;
    uint32_t size;
    unsigned char *owned; /* a heap block of this record, or none */
} icon_res;

/* The resources in the order they are written: the images, then the group. */
typedef struct icon_res_list {
    icon_res *items;
    uint32_t count;
} icon_res_list;

/* What building found. The writers log the matching message. */
typedef enum icon_status {
    ICON_OK = 0,
    ICON_NOT_ICO,          /* "icon file is not an .ico" */
    ICON_TRUNCATED,        /* "icon file is truncated" */
    ICON_OUT_OF_RANGE,     /* "icon image out of range" */
    ICON_NO_MEMORY,        /* a block for the list or the group could not be had */
    EMBLEM_NOT_UNDERSTOOD, /* "game emblem picture not understood" */
    EMBLEM_EMPTY           /* "game emblem picture is empty" */
} icon_status;

/* The message of a status, for "ERROR: %s". */
const char *icon_status_text(icon_status st);

/* Releases every owned block and the list itself; the record becomes empty. */
void icon_res_free(icon_res_list *list);

/* Logs the outcome of a build and writes the list into exe. A status found
   before the update would open (not an icon file, truncated, a picture not
   understood or empty) is logged at once. Otherwise the update is opened,
   keeping the exe's other resources ("cannot update the game executable's
   icon" when it cannot be); a status found while it is open (an image out of
   range, no memory) discards it, so the exe stays as it was; and a good list is
   added in order and committed ("cannot write the game executable's icon").
   Releases the list in every case. 1 when the commit succeeded. */
int icon_res_apply(const char *exe, icon_status st, icon_res_list *list);

/* Fills group entry k (1-based) of the directory at group. */
void icon_group_entry(unsigned char *group, unsigned k, const unsigned char first12[12]);

/* ---- from an icon file ---- */

/* The images of the icon file as RT_ICON 1..n, pointing into data, and the
   group. Any status but ICON_OK leaves *out empty. */
icon_status icon_build_ico(const unsigned char *data, uint64_t size, icon_res_list *out);

/* ---- from an emblem picture ---- */

/* Pictures are refused ("not understood") beyond these: at most 2^24 palette
   indices (row bytes times height), and a canvas of at most 4096 x 4096. */
enum { EMBLEM_MAX_PIXELS = 1 << 24, EMBLEM_MAX_SIDE = 4096 };

/* The cropped picture centred on its square canvas of side S: 32-bit ARGB values
   (0xAARRGGBB, 0 transparent), row-major, top row first. */
typedef struct emblem {
    uint32_t side;
    uint32_t bw, bh; /* the box of opaque pixels */
    uint32_t ox, oy; /* where its top-left pixel lies on the canvas */
    uint32_t *canvas;
} emblem;

/* Decodes, crops and centres the picture. Any status but ICON_OK leaves *out
   empty; otherwise free out->canvas. */
icon_status emblem_canvas(const unsigned char *data, uint64_t size, emblem *out);
/* Box-filters the canvas to t x t pixels into an icon image's colour part:
   little-endian ARGB values, bottom row first. */
void emblem_scale(const emblem *e, uint32_t t, unsigned char *pixels);
/* The seven 32-bit icon images of sides 16 to 256 and their group. */
icon_status icon_build_lbm(const unsigned char *data, uint64_t size, icon_res_list *out);

extern const uint32_t emblem_sizes[7];
/* The bytes of an icon image of side t: header, colour pixels, mask. */
uint64_t emblem_image_size(uint32_t t);

#endif
