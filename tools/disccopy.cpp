/*
 * disccopy - a developer's front over the disc source.
 *
 *   disccopy SOURCE TARGET   prints the source's description and byte total,
 *                            then copies it all below TARGET
 *   disccopy --list SOURCE   one line per file: its path below the root, a tab,
 *                            its size, in disc order; a damage that would fail
 *                            the copy ends the list with its line and exit 1
 *
 * SOURCE is a folder, an ISO image, a raw BIN image or a CUE sheet. Log lines go
 * to standard error. Exit code 0 on success, 1 on failure, 2 on a usage error.
 */
#include "cdsrc.h"
#include "cdsrc_internal.h"
#include "setup_log.h"

#include <stdio.h>
#include <string.h>

static void print_file(const char *rel, uint64_t size, void *user)
{
    (void)user;
    printf("%s\t%llu\n", rel, (unsigned long long)size);
}

int main(int argc, char **argv)
{
    int list = argc == 3 && strcmp(argv[1], "--list") == 0;
    if (argc != 3 || (!list && argv[1][0] == '-')) {
        fprintf(stderr, "usage: disccopy SOURCE TARGET\n       disccopy --list SOURCE\n");
        return 2;
    }
    log_to_stderr(1);
    const char *from = list ? argv[2] : argv[1];
    cd_source *src = cd_open(from);
    if (!src) {
        setup_log("cannot open %s", from);
        return 1;
    }
    int ok = 1;
    if (list) {
        ok = cd_list(src, print_file, NULL, NULL);
    } else {
        printf("%s\n%llu\n", cd_describe(src), (unsigned long long)cd_total_bytes(src));
        fflush(stdout);
        ok = cd_copy_all(src, argv[2], NULL);
        if (!ok) setup_log("copy failed");
    }
    cd_close(src);
    return ok ? 0 : 1;
}
