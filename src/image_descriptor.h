/*
 * image_descriptor.h - what the binary and text descriptor readers (image_mds,
 * image_ccd, image_cdi) share: bounded loading of a descriptor or of a table
 * at a file's end, the size of a data file, explicit little-endian decoding
 * (big-endian too, for image_nrg) and the name of a data file that shares the
 * descriptor's own name.
 *
 * Every failure is logged once, as "<descriptor>: <what was wrong>", so that a
 * reader that gets 0 from here returns 0 without a line of its own.
 * Pure functions of their arguments and the files they read; any thread.
 */
#ifndef KELP_IMAGE_DESCRIPTOR_H
#define KELP_IMAGE_DESCRIPTOR_H

#include <stdint.h>

/* The most sectors a CD holds, with room to spare (100 minutes of 75 frames a
   second): an address or length beyond it is a lie, and refusing it early
   keeps every product of a count and a sector size far from overflow. */
enum { IMAGE_MAX_SECTORS = 100 * 60 * 75 };
/* The 150 frames (two seconds) before logical sector 0 of a disc. */
enum { IMAGE_LEAD_IN = 150 };

inline uint16_t get_le16(const unsigned char *p) { return (uint16_t)(p[0] | p[1] << 8); }
inline uint32_t get_le32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
inline uint64_t get_le64(const unsigned char *p) { return get_le32(p) | (uint64_t)get_le32(p + 4) << 32; }
inline uint16_t get_be16(const unsigned char *p) { return (uint16_t)(p[0] << 8 | p[1]); }
inline uint32_t get_be32(const unsigned char *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
inline uint64_t get_be64(const unsigned char *p) { return (uint64_t)get_be32(p) << 32 | get_be32(p + 4); }

/* The whole descriptor in a heap block of *size + 1 bytes, NUL-terminated, that
   the caller frees; none (logged) when it cannot be read or holds more than cap
   bytes, which no honest descriptor does. */
unsigned char *descriptor_load(const char *descriptor, uint64_t cap, uint64_t *size);
/* The bytes of file path from offset from to its end, in a heap block of *size
   bytes that the caller frees; none (logged) when from lies past the end, the
   tail holds more than cap bytes or cannot be read whole. */
unsigned char *descriptor_tail(const char *path, uint64_t from, uint64_t cap, uint64_t *size);
/* The size of a data file that descriptor names, into *size; 0 (logged) when it
   cannot be opened or sized. */
int data_file_size(const char *descriptor, const char *file, uint64_t *size);
/* The file beside descriptor named as the descriptor, its extension replaced by
   ext (".img"), resolved with image_named_file into out (PATH_CAP bytes); 0
   (logged) when the name would be cut. */
int sibling_file(const char *descriptor, const char *ext, char *out);

#endif
