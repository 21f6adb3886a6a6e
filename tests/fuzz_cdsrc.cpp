// fuzz_cdsrc - libFuzzer targets for the disc source, built three times (see
// CMakeLists.txt, -DKELP_FUZZ=ON with clang):
//   fuzz_cd_image  every input is an image file: open it, list it, total it,
//                  look up and read a few paths, copy it all;
//   fuzz_cd_cue    (FUZZ_CUE) every input is a CUE sheet beside two small valid
//                  raw images, "game.bin" (Mode 1, 2352-byte sectors) and
//                  "pre.img" (Mode 2 Form 1, 2448-byte sectors after a pregap of
//                  2 frames): open the sheet, then walk what it names;
//   fuzz_cd_desc   (FUZZ_DESC) every input is an image descriptor of the format
//                  that its first byte picks (modulo 5: .cue, .nrg, .mds, .ccd,
//                  .cdi; KELP_FUZZ_FORMAT=ext fixes it instead), the rest its
//                  bytes, as "desc.<ext>" beside the CUE target's two raw
//                  images and two more in the names that an Alcohol and a
//                  CloneCD descriptor use for theirs ("desc.mdf", "desc.img",
//                  raw Mode 1); open it, then walk what it names;
//   fuzz_cd_dir    (FUZZ_DIR) every input is the root directory of a minimal ISO
//                  image built around it (its extent 18, its size the input's
//                  length, then 16 sectors of file data), so that the directory
//                  records reach the walk at once; then walk it.
// Each run works in a private scratch folder of the temporary folder (on Linux
// /dev/shm when there is one), which is emptied after every run. The copy goes
// to the folder "a/b/out" in it, and nothing else may appear in the scratch
// folder, in "a" or in "a/b": a name that climbs out of the target would land
// there.
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

#if defined(FUZZ_CUE) || defined(FUZZ_DESC)
// A small valid raw image that the CUE target's sheets may name, made once:
// pregap empty sectors, then the user data of sectors 0 to 16 at offset data of
// each sector (a Mode 2 subheader, Form 1, before it at 24), with the primary
// volume descriptor at 16 and a root directory at 1 holding one file. Every
// sector has its sync pattern and mode; the EDC is left 0, unchecked.
static void put_raw_image(const char *path, size_t sector, size_t data, size_t pregap)
{
    static unsigned char img[19 * 2448];
    memset(img, 0, sizeof img);
    for (size_t s = 0; s < pregap + 17; s++) {
        memset(img + s * sector + 1, 0xFF, 10);
        img[s * sector + 15] = data == 24 ? 2 : 1;
    }
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

#ifdef FUZZ_DIR
// The minimal image around a root directory of size bytes: 16 empty sectors,
// the primary volume descriptor, its terminator, the directory from sector 18,
// then 16 sectors of file data (sector k filled with the byte 'a' + k).
static void put_dir_image(const char *path, const uint8_t *dir, size_t size)
{
    size_t dir_sectors = size ? (size + 2047) / 2048 : 1, total = 18 + dir_sectors + 16;
    unsigned char *img = (unsigned char *)calloc(total, 2048);
    if (!img) abort();
    unsigned char *pvd = img + 16 * 2048, *root = pvd + 156;
    pvd[0] = 1;
    memcpy(pvd + 1, "CD001", 5);
    pvd[6] = 1;
    root[0] = 34;
    root[2] = root[9] = 18; // the root's extent, both-endian
    for (int i = 0; i < 4; i++) root[10 + i] = root[17 - i] = (unsigned char)(size >> (8 * i));
    root[25] = 2;
    root[32] = 1;
    img[17 * 2048] = 255;
    memcpy(img + 17 * 2048 + 1, "CD001", 5);
    if (size) memcpy(img + 18 * 2048, dir, size);
    for (size_t k = 0; k < 16; k++) memset(img + (18 + dir_sectors + k) * 2048, 'a' + (int)k, 2048);
    put_file(path, img, total * 2048);
    free(img);
}
#endif

// 1 when folder holds nothing but the names given (a null-terminated list).
static int holds_only(const char *folder, const char *const *names)
{
    DIR *d = opendir(folder);
    if (!d) abort();
    int strays = 0;
    struct dirent *e;
    while ((e = readdir(d)) != NULL) {
        int known = !strcmp(e->d_name, ".") || !strcmp(e->d_name, "..");
        for (const char *const *n = names; *n && !known; n++) known = !strcmp(e->d_name, *n);
        strays += !known;
    }
    closedir(d);
    return strays == 0;
}

// 1 when nothing but the target's own files and the folders down to the copy's
// target are in the scratch folder.
static int only_kept(const char *keep)
{
    char a[300], ab[300];
    snprintf(a, sizeof a, "%s/a", scratch);
    snprintf(ab, sizeof ab, "%s/a/b", scratch);
    const char *top[] = {keep, "game.bin", "pre.img", "desc.mdf", "desc.img", "a", NULL}, *in_a[] = {"b", NULL}, *in_ab[] = {"out", NULL};
    return holds_only(scratch, top) && holds_only(a, in_a) && holds_only(ab, in_ab);
}

// Names are listed as the disc records them, even empty or unsafe ones (the
// copy is where those are refused); the first becomes one more path to look up.
static void remember_first(const char *rel, uint64_t, void *user)
{
    char *first = (char *)user;
    if (!first[0]) snprintf(first, PATH_CAP, "%s", rel);
}

// Everything a caller may do with an open source.
static void walk_source(cd_source *src)
{
    if (!cd_describe(src)[0]) abort();
    char first[PATH_CAP] = "";
    uint64_t listed = 0, total = cd_total_bytes(src);
    // A listing that goes through meets what the total does.
    if (cd_list(src, remember_first, first, &listed) && listed != total) abort();
    // Not static: "first" is this call's own.
    const char *const probes[] = {"", "README.TXT", "data\\a.qar", "DATA/SUB/", "\\x", "GAME.DAT", first};
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
    char ab[300];
    snprintf(ab, sizeof ab, "%s/a/b", scratch);
    make_dirs(ab);
    snprintf(out, sizeof out, "%s/out", ab);
#ifdef FUZZ_CUE
    snprintf(input, sizeof input, "%s/sheet.cue", scratch);
    char image[300];
    snprintf(image, sizeof image, "%s/game.bin", scratch);
    put_raw_image(image, 2352, 16, 0);
    snprintf(image, sizeof image, "%s/pre.img", scratch);
    put_raw_image(image, 2448, 24, 2);
#elif defined(FUZZ_DESC)
    static const struct {
        const char *name;
        size_t sector, data, pregap;
    } data_files[] = {{"game.bin", 2352, 16, 0}, {"pre.img", 2448, 24, 2}, {"desc.mdf", 2352, 16, 0},
                      {"desc.img", 2352, 16, 0}};
    for (auto &d : data_files) {
        char image[300];
        snprintf(image, sizeof image, "%s/%s", scratch, d.name);
        put_raw_image(image, d.sector, d.data, d.pregap);
    }
#elif defined(FUZZ_DIR)
    snprintf(input, sizeof input, "%s/dir.iso", scratch);
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
#ifdef FUZZ_DIR
    put_dir_image(input, data, size);
#elif defined(FUZZ_DESC)
    static const char *const exts[] = {"cue", "nrg", "mds", "ccd", "cdi"};
    static const char *fixed = getenv("KELP_FUZZ_FORMAT");
    if (size == 0) return 0;
    const char *ext = fixed ? fixed : exts[data[0] % 5];
    snprintf(input, sizeof input, "%s/desc.%s", scratch, ext);
    put_file(input, data + 1, size - 1);
#else
    put_file(input, data, size);
#endif
    cd_source *src = cd_open(input);
    if (src) walk_source(src);
    cd_close(src);
    if (!only_kept(strrchr(input, '/') + 1)) abort();
#ifdef FUZZ_DESC
    remove(input); /* the next input may be of another format, under another name */
#endif
    return 0;
}
