/*
 * install_icon_res.cpp - the icon resources' shared part: the group entry, the
 * messages, and handing a built list to the platform's resource update.
 * Keeps no state; any thread may call it.
 */
#include "install_icon_res.h"

#include "platform.h"
#include "setup_log.h"
#include "util.h"

#include <stdlib.h>
#include <string.h>

const char *icon_status_text(icon_status st)
{
    switch (st) {
    case ICON_OK: return "no error";
    case ICON_NOT_ICO: return "icon file is not an .ico";
    case ICON_TRUNCATED: return "icon file is truncated";
    case ICON_OUT_OF_RANGE: return "icon image out of range";
    case ICON_NO_MEMORY: return "not enough memory for the icon";
    case EMBLEM_NOT_UNDERSTOOD: return "game emblem picture not understood";
    case EMBLEM_EMPTY: return "game emblem picture is empty";
    }
    return "unknown icon failure";
}

void icon_res_free(icon_res_list *list)
{
    for (uint32_t i = 0; i < list->count; i++) free(list->items[i].owned);
    free(list->items);
    list->items = NULL;
    list->count = 0;
}

void icon_group_entry(unsigned char *group, unsigned k, const unsigned char first12[12])
{
    unsigned char *e = group + ICON_GROUP_HEADER + (uint64_t)ICON_GROUP_ENTRY * (k - 1);
    memcpy(e, first12, 12);
    e[12] = (unsigned char)k;
    e[13] = (unsigned char)(k >> 8);
}

int icon_res_apply(const char *exe, icon_status st, icon_res_list *list)
{
    if (st != ICON_OK && st != ICON_OUT_OF_RANGE && st != ICON_NO_MEMORY) {
        icon_res_free(list);
        setup_log("ERROR: %s", icon_status_text(st));
        return 0;
    }
    /* A virus scanner opens the executable just written: the update, which
       rewrites the file at its end, meets the scanner's hold and is made
       again from its start (the data stays until the last try). After the
       tries the user is asked, as for any write. */
    held_file h = held_start(exe);
    int ok = 0;
    for (;;) {
        pf_res_update u = pf_res_update_begin(exe);
        if (u == PF_NO_RES_UPDATE) {
            if (held_retry(&h)) continue;
            icon_res_free(list);
            setup_log("ERROR: %s", "cannot update the game executable's icon");
            return 0;
        }
        if (st != ICON_OK) {
            /* Nothing was added, and a discarded update leaves the file alone. */
            pf_res_update_end(u, 1);
            icon_res_free(list);
            setup_log("ERROR: %s", icon_status_text(st));
            return 0;
        }
        for (uint32_t i = 0; i < list->count; i++) {
            const icon_res *r = &list->items[i];
            pf_res_update_add(u, r->type, r->id, r->data, r->size);
        }
        ok = pf_res_update_end(u, 0);
        if (ok || !held_retry(&h)) break;
    }
    icon_res_free(list);
    if (!ok) {
        setup_log("ERROR: %s", "cannot write the game executable's icon");
        return 0;
    }
    return 1;
}
