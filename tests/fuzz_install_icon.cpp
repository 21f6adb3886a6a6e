// fuzz_install_icon - libFuzzer target for the icon builders: every input is
// read as an icon file and as an emblem picture, and what comes out is checked
// for the resource layout. Build with clang: cmake -DKELP_FUZZ=ON (see
// CMakeLists.txt), then run build/.../fuzz_install_icon.
#include "install_icon_res.h"

#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    icon_res_list list;
    if (icon_build_ico(data, size, &list) == ICON_OK) {
        const icon_res &group = list.items[list.count - 1];
        if (group.size != ICON_GROUP_HEADER + ICON_GROUP_ENTRY * (list.count - 1)) abort();
        for (uint32_t i = 0; i + 1 < list.count; i++)
            if (list.items[i].data < data || list.items[i].data + list.items[i].size > data + size) abort();
    }
    icon_res_free(&list);
    if (icon_build_lbm(data, size, &list) == ICON_OK) {
        if (list.count != 8) abort();
        for (uint32_t k = 0; k < 7; k++)
            if (list.items[k].size != emblem_image_size(emblem_sizes[k])) abort();
    }
    icon_res_free(&list);
    return 0;
}
