/*
 * cdsrc_names.h - names that come from outside and may become paths: the names
 * in a disc's listing, and the file names that an image descriptor (a CUE sheet
 * and its kin) gives for the file holding its sectors.
 *
 * Pure functions of their arguments, but for image_named_file's one look at
 * whether a drive path exists. Any thread.
 */
#ifndef KELP_CDSRC_NAMES_H
#define KELP_CDSRC_NAMES_H

/* 1 when a name read from a disc may become one component of a target path:
   not empty, not "." or "..", no separator, colon, wildcard, quote or control
   character, no trailing dot or space (Windows would drop them), and not a
   device name that Windows reserves (CON, PRN, AUX, NUL, COM1-9, LPT1-9,
   CONIN$, CONOUT$), whatever follows its first dot and with the spaces before
   that dot dropped. */
int cd_name_safe(const char *name);

/* The file that a descriptor at descriptor names as name, into out (PATH_CAP
   bytes). A relative name lies beside the descriptor. A plain drive path
   ("X:\..." or "X:/...") is what the machine that wrote the descriptor saw: it
   is taken as written when it exists. Every other absolute form (a rooted name,
   a network name, "\??\", "\\?\", "\\.\", a drive-relative "X:name") is never
   opened: a descriptor from elsewhere must not make the setup reach a server or
   a device. Those, and a drive path that does not exist, fall back to the
   name's last component beside the descriptor, where a copied disc's files lie.
   A component that is a device name is never used. 0 when no name is left or
   the path would be cut (a cut path could name another file). */
int image_named_file(const char *descriptor, const char *name, char *out);

#endif
