/*
 * image_descriptor.cpp - bounded reads of descriptors and their tables, data
 * file sizes and sibling names for the descriptor readers. No state.
 */
#include "image_descriptor.h"

#include "cdsrc_names.h"
#include "platform.h"
#include "setup_log.h"
#include "util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Reads n bytes at pos of an open file into dst; 0 on a short read. */
static int read_whole(pf_file f, uint64_t pos, unsigned char *dst, uint64_t n)
{
    if (!pf_seek(f, pos)) return 0;
    while (n > 0) {
        uint32_t want = n < (1u << 20) ? (uint32_t)n : (1u << 20), got = 0;
        if (!pf_read(f, dst, want, &got) || got == 0) return 0;
        dst += got;
        n -= got;
    }
    return 1;
}

unsigned char *descriptor_tail(const char *path, uint64_t from, uint64_t cap, uint64_t *size)
{
    pf_file f = pf_open_read(path, 0);
    uint64_t bytes = 0;
    if (f == PF_NO_FILE || !pf_file_size(f, &bytes)) {
        setup_log("%s: cannot be read", path);
        pf_close(f);
        return NULL;
    }
    if (from > bytes || bytes - from > cap) {
        if (from == 0)
            setup_log("%s: %llu bytes, more than a descriptor holds", path, (unsigned long long)bytes);
        else
            setup_log("%s: its table at %llu does not fit the file of %llu bytes", path,
                      (unsigned long long)from, (unsigned long long)bytes);
        pf_close(f);
        return NULL;
    }
    uint64_t n = bytes - from;
    unsigned char *block = (unsigned char *)malloc((size_t)n + 1);
    if (!block || !read_whole(f, from, block, n)) {
        setup_log("%s: cannot be read", path);
        free(block);
        pf_close(f);
        return NULL;
    }
    pf_close(f);
    block[n] = 0;
    *size = n;
    return block;
}

unsigned char *descriptor_load(const char *descriptor, uint64_t cap, uint64_t *size)
{
    return descriptor_tail(descriptor, 0, cap, size);
}

int data_file_size(const char *descriptor, const char *file, uint64_t *size)
{
    pf_file f = pf_open_read(file, 0);
    int ok = f != PF_NO_FILE && pf_file_size(f, size);
    pf_close(f);
    if (!ok) setup_log("%s: its data file %s cannot be opened", descriptor, file);
    return ok;
}

int sibling_file(const char *descriptor, const char *ext, char *out)
{
    const char *base = descriptor;
    for (const char *p = descriptor; *p; p++)
        if (*p == '\\' || *p == '/' || *p == ':') base = p + 1;
    const char *dot = strrchr(base, '.');
    size_t stem = dot ? (size_t)(dot - base) : strlen(base);
    char name[PATH_CAP];
    if (stem == 0 || stem + strlen(ext) >= sizeof name) {
        setup_log("%s: no data file name can be made from it", descriptor);
        return 0;
    }
    memcpy(name, base, stem);
    snprintf(name + stem, sizeof name - stem, "%s", ext);
    if (!image_named_file(descriptor, name, out)) {
        setup_log("%s: its data file %s cannot be named", descriptor, name);
        return 0;
    }
    return 1;
}
