// bench_edc - the rate of the raw sector check: the EDC alone over 2064-byte
// runs (a Mode 1 sector's checked bytes), and the whole check of Mode 1 and
// Mode 2 Form 1 sectors with their EDC stored, in GB/s of checked bytes (the
// median of RUNS passes over 64 MiB of sectors). As in a copy, the sectors are
// checked where one read of a run has just put them: a run of 32 sectors,
// checked again and again, stays in the cache.
// usage: bench_edc [RUNS]   (default 9)
#include "cdsrc_edc.h"

#include <algorithm>
#include <chrono>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

enum { SECTOR = 2352, RUN = 32, COUNT = 64 * 1024 * 1024 / SECTOR };

// COUNT raw sectors of the mode with pseudo-random user data and a correct EDC.
static std::vector<unsigned char> sectors(int mode)
{
    std::vector<unsigned char> v((size_t)RUN * SECTOR);
    uint32_t x = 12345;
    for (size_t s = 0; s < RUN; s++) {
        unsigned char *p = &v[s * SECTOR];
        for (size_t i = 16; i < SECTOR; i++) p[i] = (unsigned char)((x = x * 1103515245u + 12345u) >> 24);
        memset(p, 0xFF, 12);
        p[0] = p[11] = 0;
        p[15] = (unsigned char)mode;
        size_t from = mode == 1 ? 0 : 16, at = mode == 1 ? 2064 : 2072;
        if (mode == 2) p[18] = p[22] = 0x08;
        uint32_t e = cd_edc(p + from, at - from);
        for (int k = 0; k < 4; k++) p[at + k] = (unsigned char)(e >> (8 * k));
    }
    return v;
}

template <typename F> static double median_gbps(int runs, double bytes, F pass)
{
    std::vector<double> rates;
    for (int r = 0; r < runs; r++) {
        auto t0 = std::chrono::steady_clock::now();
        pass();
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        rates.push_back(bytes / s / 1e9);
    }
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 9;
    if (runs < 1) runs = 1;
    volatile uint32_t sink = 0;
    for (int mode = 1; mode <= 2; mode++) {
        std::vector<unsigned char> v = sectors(mode);
        double bytes = (double)COUNT * 2064;
        double edc = median_gbps(runs, bytes, [&] {
            uint32_t x = 0;
            for (size_t s = 0; s < COUNT; s++) x ^= cd_edc(&v[s % RUN * SECTOR], 2064);
            sink = sink ^ x;
        });
        int bad = 0;
        double check = median_gbps(runs, bytes, [&] {
            for (size_t s = 0; s < COUNT; s++) bad += !cd_raw_sector_ok(&v[s % RUN * SECTOR], mode);
        });
        if (bad) {
            fprintf(stderr, "bench_edc: %d sectors failed their check\n", bad);
            return 1;
        }
        printf("mode %d: EDC %.2f GB/s, sector check %.2f GB/s (median of %d passes over %d sectors)\n", mode, edc,
               check, runs, (int)COUNT);
    }
    return 0;
}
