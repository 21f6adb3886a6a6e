/*
 * install_icon_ico.cpp - an executable's icon from an icon file (".ico"): every
 * image of the file becomes icon image i, unchanged, and the group lists them
 * with the file's own directory entries. Keeps no state; any thread may call it.
 *
 * The icon file, little-endian: reserved (u16, both bytes 0), type (its low byte
 * 1; the high byte is not examined), count n (u16), then n directory entries of
 * 16 bytes: width, height, colour count, reserved (u8 each), planes, bit count
 * (u16 each), bytes in resource L (u32), image offset O (u32). Image i is the L
 * bytes at O, never examined.
 */
#include "install_icon.h"

#include "install_icon_res.h"
#include "setup_log.h"

#include <stdlib.h>

enum { ICO_HEADER = 6, ICO_ENTRY = 16 };

static uint32_t u32le(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

icon_status icon_build_ico(const unsigned char *data, uint64_t size, icon_res_list *out)
{
    out->items = NULL;
    out->count = 0;
    if (size < ICO_HEADER || data[0] != 0 || data[1] != 0 || data[2] != 1) return ICON_NOT_ICO;
    uint32_t n = (uint32_t)data[4] | (uint32_t)data[5] << 8;
    if (size < ICO_HEADER + (uint64_t)ICO_ENTRY * n) return ICON_TRUNCATED;

    /* n images and the group; the group directory is a zero-filled block. */
    icon_res *items = (icon_res *)calloc((size_t)n + 1, sizeof *items);
    unsigned char *group = (unsigned char *)calloc(1, ICON_GROUP_HEADER + (size_t)ICON_GROUP_ENTRY * n);
    if (!items || !group) {
        free(items);
        free(group);
        return ICON_NO_MEMORY;
    }
    group[2] = 1;
    group[4] = data[4];
    group[5] = data[5];
    for (uint32_t i = 1; i <= n; i++) {
        const unsigned char *e = data + ICO_HEADER + (uint64_t)ICO_ENTRY * (i - 1);
        uint64_t len = u32le(e + 8), off = u32le(e + 12);
        if (off + len > size) { /* 64-bit sum: cannot wrap */
            free(items);
            free(group);
            return ICON_OUT_OF_RANGE;
        }
        items[i - 1] = icon_res{RES_TYPE_ICON, i, data + off, (uint32_t)len, NULL};
        icon_group_entry(group, i, e);
    }
    items[n] = icon_res{RES_TYPE_GROUP_ICON, 1, group,
                        (uint32_t)(ICON_GROUP_HEADER + ICON_GROUP_ENTRY * n), group};
    out->items = items;
    out->count = n + 1;
    return ICON_OK;
}

int inject_icon_ico(const char *exe, const unsigned char *data, uint64_t size)
{
    icon_res_list list;
    icon_status st = icon_build_ico(data, size, &list);
    uint32_t n = list.count ? list.count - 1 : 0;
    if (!icon_res_apply(exe, st, &list)) return 0;
    setup_log("icon: %d images from the CD", (int)n);
    return 1;
}
