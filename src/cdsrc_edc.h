/*
 * cdsrc_edc.h - the check of one raw CD sector: its sync pattern, its mode, and
 * its error detection code (EDC), the 32-bit CRC that every data sector carries
 * (reflected polynomial 0xD8018001, initial value 0, no final inversion).
 *
 * Pure functions over the caller's bytes, with constant tables only: any thread
 * may call them at any time.
 */
#ifndef KELP_CDSRC_EDC_H
#define KELP_CDSRC_EDC_H

#include <stddef.h>
#include <stdint.h>

/* The EDC of len bytes. */
uint32_t cd_edc(const void *data, size_t len);
/* The same, bit by bit: slow, the definition that the fast one must match. */
uint32_t cd_edc_bitwise(const void *data, size_t len);

/* 1 when the raw sector (its bytes through the EDC: 2068 in Mode 1, 2076 in
   Mode 2) is a sound data sector of the mode (1, or 2 for Mode 2 Form 1): the sync pattern 00, ten
   times FF, 00; the mode byte; for Mode 2 a Form 1 subheader; and the EDC,
   unless the stored EDC is 0 (some tools that make raw images from ISO files
   leave it 0). */
int cd_raw_sector_ok(const unsigned char *sector, int mode);
/* The same for a Mode 2 sector stored without its sync and header, as images
   of 2336-byte sectors hold it: from its subheader through its EDC (2060
   bytes), a Form 1 subheader and the EDC over subheader and data, unless 0. */
int cd_mode2_sector_ok(const unsigned char *sector);

/* The ways cd_edc takes, and the processor features they need. */
enum { EDC_PATH_TABLES, EDC_PATH_CLMUL, EDC_PATH_VCLMUL };
enum { EDC_CPU_PCLMUL = 1, EDC_CPU_AVX512F = 2, EDC_CPU_VPCLMULQDQ = 4 };

#ifdef KELP_FAULTS
/* The test build's view of the choice: the features of this processor (0 off
   x86-64), the path that len bytes take on a processor with the features cpu,
   and the EDC through a path of the caller's choice, which this processor
   must support. */
unsigned cd_edc_cpu(void);
int cd_edc_path(unsigned cpu, size_t len);
uint32_t cd_edc_through(int path, const void *data, size_t len);
#endif

#endif
