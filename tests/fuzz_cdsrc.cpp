// fuzz_cdsrc - libFuzzer targets for the disc source, built twice (see
// CMakeLists.txt, -DKELP_FUZZ=ON with clang):
//   fuzz_cd_image  every input is an image file: open it, list it, total it,
//                  look up and read a few paths, copy it all;
//   fuzz_cd_cue    (FUZZ_CUE) every input is a CUE sheet beside two small valid
//                  raw images, "game.bin" (Mode 1, 2352-byte sectors) and
//                  "pre.img" (Mode 2 Form 1, 2448-byte sectors after a pregap of
//                  2 frames): open the sheet, then walk what it names.
// Each run works in a private scratch folder of the temporary folder (on Linux
// /dev/shm when there is one), which is emptied after every run; the copy goes
// to its "out" folder, and nothing else may appear in the scratch folder.
#include "cdsrc.h"
#include "cdsrc_internal.h"
#include "setup_log.h"
#include "util.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char scratch[256], input[300], out[300];

static void put_file(const char *path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path, "wb");
    if (!f) abort();
    if (size && fwrite(data, 1, size, f) != size) abort();
    fclose(f);
}

#ifdef FUZZ_CUE
// A small valid raw image that the CUE target's sheets may name, made once:
// pregap empty sectors, then the user data of sectors 0 to 16 at offset data of
// each sector (a Mode 2 subheader, Form 1, before it at 24), with the primary
// volume descriptor at 16 and a root directory at 1 holding one file.
static void put_raw_image(const char *path, size_t sector, size_t data, size_t pregap)
{
    static unsigned char img[19 * 2448];
    memset(img, 0, sizeof img);
    unsigned char *start = img + pregap * sector;
    for (size_t s = 0; s < 17 && data == 24; s++) start[s * sector + 18] = start[s * sector + 22] = 0x08;
    unsigned char *pvd = start + 16 * sector + data, *root = start + 1 * sector + data;
    pvd[0] = 1;
    memcpy(pvd + 1, "CD001", 5);
    pvd[158] = 1;      // root extent
    pvd[167] = 0x08;   // root size 2048
    unsigned char *r = root;
    for (int k = 0; k < 3; k++) {
        static const char *ids[3] = {"\0", "\1", "GAME.DAT;1"};
        size_t id_len = k < 2 ? 1 : strlen(ids[k]);
        r[0] = (unsigned char)(33 + id_len + ((33 + id_len) & 1));
        r[2] = k < 2 ? 1 : 2;                      // extent
        r[10] = k < 2 ? 0 : 100;                   // size
        r[11] = k < 2 ? 0x08 : 0;
        r[25] = k < 2 ? 2 : 0;
        r[32] = (unsigned char)id_len;
        memcpy(r + 33, ids[k], id_len);
        r += r[0];
    }
    memset(start + 2 * sector + data, 'k', 100);
    put_file(path, img, (pregap + 17) * sector);
}
#endif

// Removes everything in the scratch folder but the files the target keeps.
static int only_kept(const char *keep)
{
    DIR *d = opendir(scratch);
    if (!d) abort();
    int strays = 0;
    struct dirent *e;
    while ((e = readdir(d)) != NULL) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..") || !strcmp(e->d_name, "out")) continue;
        if (!strcmp(e->d_name, keep) || !strcmp(e->d_name, "game.bin") || !strcmp(e->d_name, "pre.img")) continue;
        strays++;
    }
    closedir(d);
    return strays == 0;
}

// Names are listed as the disc records them, even empty or unsafe ones (the
// copy is where those are refused); the first becomes one more path to look up.
static void remember_first(const char *rel, uint64_t, void *user)
{
    char *first = (char *)user;
    if (!first[0]) snprintf(first, PATH_CAP, "%s", rel);
}

// Everything a caller may do with an open source.
static void walk(cd_source *src)
{
    if (!cd_describe(src)[0]) abort();
    char first[PATH_CAP] = "";
    uint64_t listed = cd_list(src, remember_first, first);
    uint64_t total = cd_total_bytes(src);
    if (listed != total) abort();
    static const char *const probes[] = {"", "README.TXT", "data\\a.qar", "DATA/SUB/", "\\x", "GAME.DAT", first};
    for (const char *rel : probes) {
        cd_exists(src, rel);
        uint64_t size = 0;
        void *data = cd_read(src, rel, &size);
        if (data) ((char *)data)[size] = 0; // the spare byte after the data
        free(data);
    }
    progress pr = {};
    pr.total = total;
    if (cd_copy_all(src, out, &pr) && pr.done != total) abort();
    delete_tree(out);
}

static int setup(void)
{
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    snprintf(scratch, sizeof scratch, "%s/kelp_fuzz_%ld", base, (long)getpid());
    delete_tree(scratch);
    make_dirs(scratch);
    snprintf(out, sizeof out, "%s/out", scratch);
#ifdef FUZZ_CUE
    snprintf(input, sizeof input, "%s/sheet.cue", scratch);
    char image[300];
    snprintf(image, sizeof image, "%s/game.bin", scratch);
    put_raw_image(image, 2352, 16, 0);
    snprintf(image, sizeof image, "%s/pre.img", scratch);
    put_raw_image(image, 2448, 24, 2);
#else
    snprintf(input, sizeof input, "%s/image.bin", scratch);
#endif
    atexit([] { delete_tree(scratch); });
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int ready = setup();
    (void)ready;
    put_file(input, data, size);
    cd_source *src = cd_open(input);
    if (src) walk(src);
    cd_close(src);
    if (!only_kept(strrchr(input, '/') + 1)) abort();
    return 0;
}
