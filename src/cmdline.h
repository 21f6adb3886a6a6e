/*
 * cmdline.h - splitting a command line into arguments, the way people type
 * them on Windows. A leaf: it uses nothing but the C library, so that the
 * platform layer can use it.
 */
#ifndef KELP_CMDLINE_H
#define KELP_CMDLINE_H

/* Splits line into arguments. Blanks (spaces and tabs) outside quotes end an
   argument; a double quote only opens or closes a quoted part and is never
   part of an argument; a backslash is always itself. No Windows path holds a
   quote, so "C:\Games\TB\" is C:\Games\TB\ and not an escaped quote, as the
   system's own splitting would have it. A quoted part that is empty ("") is
   an empty argument. The program name, first, ends at its closing quote when
   it starts with one.
   Returns a heap block holding the list, ending with a null entry, and the
   strings (one free releases all); *argc receives the count. None when memory
   runs out. */
char **cmdline_split(const char *line, int *argc);

#endif
