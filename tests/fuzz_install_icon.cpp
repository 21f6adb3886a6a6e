// fuzz_install_icon - libFuzzer targets for the icon builders, built twice (see
// CMakeLists.txt, -DKELP_FUZZ=ON with clang):
//   fuzz_icon_ico  every input is an icon file: the resources inject_icon_ico
//                  would write, checked for their layout;
//   fuzz_icon_lbm  (FUZZ_LBM) every input is an emblem picture: the seven
//                  images inject_icon_lbm would write, checked for their sizes.
#include "install_icon_res.h"

#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    icon_res_list list;
#ifndef FUZZ_LBM
    if (icon_build_ico(data, size, &list) == ICON_OK) {
        const icon_res &group = list.items[list.count - 1];
        if (group.size != ICON_GROUP_HEADER + ICON_GROUP_ENTRY * (list.count - 1)) abort();
        for (uint32_t i = 0; i + 1 < list.count; i++)
            if (list.items[i].data < data || list.items[i].data + list.items[i].size > data + size) abort();
    }
#else
    if (icon_build_lbm(data, size, &list) == ICON_OK) {
        if (list.count != 8) abort();
        for (uint32_t k = 0; k < 7; k++)
            if (list.items[k].size != emblem_image_size(emblem_sizes[k])) abort();
    }
#endif
    icon_res_free(&list);
    return 0;
}
