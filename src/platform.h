/*
 * platform.h - the operating-system services the setup uses, as free functions.
 *
 * One interface, two implementations chosen by the build: platform_win32.cpp
 * (the Win32 calls themselves) and platform_posix.cpp (the POSIX services that
 * the developer tools and the tests use on Linux: files, folders, listing,
 * the temporary folder, the program's path and arguments, time, free space,
 * the current folder). Each file guards itself, so a build may list both. No
 * other module includes an OS header.
 *
 * The services marked "Windows only" below have no POSIX definition in the
 * product: on Linux the host test programs link a test double of them
 * (tests/platform_double.cpp), which records what it is asked; what it does is
 * said here under "Test double".
 *
 * Paths are code-page strings built with backslashes, as on Windows. The POSIX
 * implementation maps each backslash to a slash and, where a path component does
 * not exist in the spelling given, looks for one that differs only in ASCII
 * letter case (copied CDs often spell the disc's upper-case names in lower case).
 *
 * Results are ints, 1 for success and 0 for failure, unless a function says
 * otherwise. pf_last_error() gives the code of the last failure: GetLastError()
 * on Windows, errno elsewhere.
 *
 * Every function may be called from any thread; none keeps state between calls
 * apart from what its handle holds.
 */
#ifndef KELP_PLATFORM_H
#define KELP_PLATFORM_H

#include <stddef.h>
#include <stdio.h>
#include <stdint.h>
#include <string.h>

/* An open file. PF_NO_FILE is the invalid value (INVALID_HANDLE_VALUE on Windows). */
typedef struct pf_file_s *pf_file;
#define PF_NO_FILE ((pf_file)0)

/* File attributes, with the values of the Win32 FILE_ATTRIBUTE_* flags. */
enum {
    PF_ATTR_READONLY = 0x1,
    PF_ATTR_DIRECTORY = 0x10,
    PF_ATTR_NORMAL = 0x80,
    PF_ATTR_REPARSE = 0x400, /* a link; a link to a folder also has PF_ATTR_DIRECTORY */
    PF_ATTR_INVALID = 0xFFFFFFFFu
};

/* Whether a reparse point of this tag is a link, which is removed as itself
   and never entered: a symbolic link (IO_REPARSE_TAG_SYMLINK) or a junction
   or mounted volume (IO_REPARSE_TAG_MOUNT_POINT). Every other tag (the cloud
   files of OneDrive's files on demand, deduplicated files, ...) marks a file
   or a folder like any other, and the platform layer reports it without
   PF_ATTR_REPARSE. Under Wine every reparse point is a Unix link. */
static inline int pf_reparse_tag_is_link(uint32_t tag) { return tag == 0xA000000Cu || tag == 0xA0000003u; }

/* ---- files ---- */

/* Opens an existing file for reading, others may read it too. sequential = 1 hints
   a front-to-back scan. A folder is not a file: opening one fails, and so does
   opening a device or a pipe (a name such as CON or a FIFO taken from a CUE
   sheet would otherwise block the first read). */
pf_file pf_open_read(const char *path, int sequential);
/* Creates a file for writing, replacing an existing one, with normal attributes
   and no sharing. */
pf_file pf_create(const char *path);
/* Reads up to n bytes at the file position; *got receives the count, 0 at the end
   of the file. A result of 0 is an error, not the end. */
int pf_read(pf_file f, void *buf, uint32_t n, uint32_t *got);
/* Writes n bytes; *put receives the count written. A short count is possible
   (a full disk) and is not an error of the call itself. */
int pf_write(pf_file f, const void *buf, uint32_t n, uint32_t *put);
/* Moves the file position to pos bytes from the start. */
int pf_seek(pf_file f, uint64_t pos);
int pf_file_size(pf_file f, uint64_t *size);
/* Closes f; PF_NO_FILE is ignored. */
void pf_close(pf_file f);
unsigned long pf_last_error(void);

/* Opens a standard-library stream on path (fopen), the path mapped as above. */
FILE *pf_fopen(const char *path, const char *mode);

/* ---- paths ---- */

/* The attributes of path (a link is not followed for PF_ATTR_REPARSE, but a link
   to a folder reports PF_ATTR_DIRECTORY as well), or PF_ATTR_INVALID. */
uint32_t pf_attributes(const char *path);
/* Sets the attributes; PF_ATTR_NORMAL makes a file writable again. */
int pf_set_attributes(const char *path, uint32_t attrs);
int pf_delete_file(const char *path);
/* Copies a whole file, replacing the target (CopyFileA). */
int pf_copy_file(const char *from, const char *to);
/* Creates one folder; its parent must exist. Fails when the folder exists. */
int pf_make_dir(const char *path);
/* Removes an empty folder, or a link to a folder without touching its target. */
int pf_remove_dir(const char *path);
/* Removes a link itself, to a file or a folder or to nothing, never what it
   points to. Under Wine, which shows a Unix link as what it points to and
   acts on that, the link is removed by name on the Unix side (pf_attributes
   reports a Unix link to a file as PF_ATTR_REPARSE there, and pf_delete_file
   removes such a link, not its target). */
int pf_remove_link(const char *path);
/* 1 when the last failure was a file held open by a running program (a
   sharing or lock violation); a missing right or a folder in the way is not. */
int pf_last_error_in_use(void);
/* 1 when the last failure was a missing right (access denied; EACCES or EPERM
   elsewhere). On Windows a file held open may give it too: see pf_file_held. */
int pf_last_error_denied(void);
/* 1 when another program holds the existing file path open: an open of it for
   writing that shares nothing fails with a sharing or lock violation. Windows
   answers a change of a file so held with access denied as often as with a
   sharing violation (deleting a running program's file, or one a virus
   scanner has open), which this tells from a missing right. Off Windows
   nothing holds a file against a change: 0. */
int pf_file_held(const char *path);
/* Puts the file from in the place of to, replacing a file there, and returns
   once the move is on the disk (MoveFileExA with MOVEFILE_REPLACE_EXISTING and
   MOVEFILE_WRITE_THROUGH; rename elsewhere). Both lie in one folder. */
int pf_move_replace(const char *from, const char *to);

/* ---- listing a folder ---- */

typedef struct pf_find_s *pf_find;
typedef struct pf_entry {
    char name[260];
    uint32_t attrs;
    uint64_t size; /* 0 for a folder */
} pf_entry;
/* Starts a listing of the pattern "folder\*" and fills the first entry; returns
   none when the folder cannot be listed. As on Windows, the entries "." and ".."
   are listed too, and the order is the file system's. */
pf_find pf_find_first(const char *pattern, pf_entry *out);
/* Fills the next entry; 0 at the end of the listing. */
int pf_find_next(pf_find h, pf_entry *out);
void pf_find_close(pf_find h);
/* Right after pf_find_first returned none or pf_find_next returned 0, on the
   same thread: 1 when the folder could not be read (a listing that could not
   start, or that broke off), 0 when there was nothing (more) to list. Any other
   call in between may change the answer. */
int pf_find_failed(void);

/* ---- the process ---- */

/* The temporary folder, ending in a separator, into cap bytes (GetTempPathA).
   Returns the length, 0 on failure or when it does not fit. */
size_t pf_temp_dir(char *out, size_t cap);
/* The running executable's own path into cap bytes (GetModuleFileNameA).
   Returns the length, 0 on failure. */
size_t pf_module_path(char *out, size_t cap);
void pf_sleep(unsigned ms);

/* ---- threads ---- */

/* A thread of the process running fn(arg). */
typedef struct pf_thread_s *pf_thread;
/* Starts the thread; none when it cannot be started. */
pf_thread pf_thread_start(void (*fn)(void *arg), void *arg);
/* Waits until the thread has ended and releases it; none is ignored. */
void pf_thread_join(pf_thread t);
/* Releases the thread without waiting for it: it runs on to its end by itself.
   None is ignored. */
void pf_thread_detach(pf_thread t);
/* Asks the system to cancel a read or write that the thread is blocked in
   (CancelSynchronousIo on Windows, where the call then fails as aborted).
   1 when one was cancelled; 0 when there was none or it cannot be cancelled,
   as always off Windows, and the thread then stays in its call. */
int pf_thread_cancel_io(pf_thread t);

/* A lock with one condition on which its holder may wait (a slim lock and a
   condition variable on Windows, a mutex and a condition elsewhere). */
typedef struct pf_monitor_s *pf_monitor;
/* A new monitor, none when it cannot be had. */
pf_monitor pf_monitor_new(void);
void pf_monitor_free(pf_monitor m);
void pf_monitor_enter(pf_monitor m);
void pf_monitor_leave(pf_monitor m);
/* Releases the lock, sleeps until a wake (or for no reason: the caller checks
   its condition again), and holds the lock again on return. */
void pf_monitor_wait(pf_monitor m);
/* pf_monitor_wait for at most ms milliseconds. */
void pf_monitor_wait_ms(pf_monitor m, unsigned ms);
/* Wakes every thread waiting on m; the caller holds the lock. */
void pf_monitor_wake(pf_monitor m);

/* ---- windows ---- */

/* Posts a private message to a window with a heap block as its lParam; the
   receiver frees the block. Returns 0 when the post failed, the block then still
   belongs to the caller. Off Windows there is no window and every post fails. */
int pf_post_message(void *window, unsigned msg, void *block);

/* ---- message boxes ---- */

/* Flags and answers, with the values of the Win32 MB_* and ID* constants. */
enum {
    PF_MB_OK = 0x0,
    PF_MB_YESNO = 0x4,
    PF_MB_ICONERROR = 0x10,
    PF_MB_ICONQUESTION = 0x20,
    PF_MB_ICONWARNING = 0x30,
    PF_MB_ICONINFO = 0x40
};
enum { PF_ID_OK = 1, PF_ID_YES = 6, PF_ID_NO = 7 };
/* Windows only. Shows a modal message box owned by no window (MessageBoxA)
   and returns the button pressed, 0 when no box could be shown. Test double:
   no one to ask; the caption and text go to standard error as one line and
   the answer is the first button, the one Enter would press (PF_ID_OK, or
   PF_ID_YES for a Yes/No box). */
int pf_message_box(const char *text, const char *caption, unsigned flags);
/* The same box owned by a window (none: no owner): it stays above that window,
   which cannot be used while the box is open. */
int pf_message_box_owned(void *owner, const char *text, const char *caption, unsigned flags);

/* ---- resource update of another executable (Windows only) ----
 * BeginUpdateResourceA keeping the existing resources, UpdateResourceA in
 * language 0 with integer type and name, EndUpdateResourceA. Until the update is
 * ended with discard = 0 the executable on disk is unchanged.
 *
 * Test double: there is no resource section to change. The update needs an
 * existing file at the path, leaves that file alone, and on commit writes what it
 * was given beside it as "<exe>.res": a 32-bit resource file (the format that
 * resource compilers write: an empty first entry, then one entry per resource
 * with numeric type and name, language 0, in the order added; a later
 * commit replaces the whole file). */
typedef struct pf_res_update_s *pf_res_update;
#define PF_NO_RES_UPDATE ((pf_res_update)0)
/* Opens an update of exe; PF_NO_RES_UPDATE on failure. */
pf_res_update pf_res_update_begin(const char *exe);
/* Adds or replaces one resource; the data is copied. As with UpdateResourceA the
   outcome is only known when the update is ended. */
void pf_res_update_add(pf_res_update u, unsigned type, unsigned id, const void *data, uint32_t size);
/* Ends the update: discard = 1 drops everything, 0 writes it. Always releases u;
   the result is 1 when the ending (the write, on commit) succeeded. */
int pf_res_update_end(pf_res_update u, int discard);

/* ---- fault injection for the tests ----
 * A build with KELP_FAULTS defined counts calls of pf_read and pf_write: while a
 * counter is above 0 each call lowers it, and the call that brings it to 0 fails
 * as an I/O error would. pf_fail_read_at, when 0 or more, names a byte of a
 * file instead: every pf_read whose bytes would cover that offset fails (a bad
 * sector, whichever read meets it). Outside test builds this compiles to
 * nothing. */
#ifdef KELP_FAULTS
extern int pf_fail_read_in;
extern int pf_fail_write_in;
extern long long pf_fail_read_at;
/* 1 when a read of n bytes at pos meets pf_fail_read_at. */
#define PF_FAULT_AT(pos, n) (pf_fail_read_at >= (long long)(pos) && pf_fail_read_at < (long long)(pos) + (long long)(n))
/* When 0 or more, pf_free_space reports this many bytes free on every volume. */
extern long long pf_fake_free_bytes;
/* pf_delete_file fails as for a file in use while this is above 0. */
extern int pf_fail_delete_in_use;
/* pf_delete_file fails with access denied while this is above 0, as for a
   file the user may not change (pf_file_held still answers 0). */
extern int pf_fail_delete_denied;
/* While set, pf_make_dir and pf_create of a path that begins with it fail
   with access denied (EACCES off Windows), as in a folder the user may not
   change. */
extern const char *pf_deny_changes_in;
#define PF_DENIED(path) (pf_deny_changes_in && strncmp((path), pf_deny_changes_in, strlen(pf_deny_changes_in)) == 0)
/* The files open through this layer: each pf_open_read and pf_create that
   succeeds adds one, each pf_close of an open file takes one away. Changed
   atomically (files open on one thread and close on another); read it while
   no copy runs. */
extern int pf_open_files;
/* While above 0, each pf_thread_start lowers it, and the one that brings it to 0
   fails. */
extern int pf_fail_thread_in;
/* While above 0, each pf_res_update_end that writes (discard 0) lowers it,
   and the one that brings it to 0 writes the update, then cuts the
   executable to half its size and fails as a full disk does
   (ERROR_DISK_FULL; ENOSPC off Windows): what an update that the disk ran
   out under leaves. */
extern int pf_fail_res_update_cut;
#define PF_FAULT(counter) ((counter) > 0 && --(counter) == 0)
#else
#define PF_FAULT(counter) 0
#define PF_DENIED(path) ((void)(path), 0)
#endif

/* A test build can also make a run of calls fail, as a scratched disc does:
   the first skip calls work, then fail calls fail (every later one when fail is
   -1). pf_fault_read counts pf_read, which then fails as a drive that cannot
   read a sector does, its file position unmoved; pf_fault_list counts
   pf_find_first, which then fails as for a folder that cannot be read.
   Outside test builds PF_FAULT_RUN compiles to nothing. */
#ifdef KELP_FAULTS
typedef struct pf_fault_run {
    int skip;
    int fail;
} pf_fault_run;
extern pf_fault_run pf_fault_read, pf_fault_list;
/* Counts the calls that change a file (pf_create, pf_copy_file,
   pf_move_replace, pf_set_attributes, pf_delete_file, pf_res_update_end with
   discard 0), which then fail as for a file another program holds for a
   moment: a sharing violation (EBUSY off Windows). */
extern pf_fault_run pf_fault_held;
/* While set, pf_fault_held counts nothing until a change of a path that
   contains this text (pf_move_replace: its source), which is the first
   counted; then it is cleared. */
extern const char *pf_fault_held_from;
static inline int pf_fault_hit(pf_fault_run *r)
{
    if (r->skip > 0) {
        r->skip--;
        return 0;
    }
    if (r->fail == 0) return 0;
    if (r->fail > 0) r->fail--;
    return 1;
}
#define PF_FAULT_RUN(run) pf_fault_hit(&(run))
/* pf_fault_held for a change of path (NULL: one whose path is not known). */
static inline int pf_fault_held_hit(const char *path)
{
    if (pf_fault_held_from) {
        if (!path || !strstr(path, pf_fault_held_from)) return 0;
        pf_fault_held_from = NULL; /* the run starts here */
    }
    return pf_fault_hit(&pf_fault_held);
}
#define PF_FAULT_HELD(path) pf_fault_held_hit(path)
#else
#define PF_FAULT_RUN(run) 0
#define PF_FAULT_HELD(path) ((void)(path), 0)
#endif

/* ---- the command line and the drives ---- */

/* The program's arguments as code-page strings, the program's own path first,
   ending with a null entry; *argc receives the count. Made once, kept until the
   process ends. On Windows the wide command line is split and converted; where
   the active code page is not UTF-8, an argument that does not convert exactly
   (best-fit mapping could turn a look-alike character into a quote or a
   backslash) is refused and the result is none. Off Windows the arguments of
   main are kept as given (pf_set_args). */
char **pf_args(int *argc);
/* Off Windows: hands main's arguments to pf_args. Does nothing on Windows. */
void pf_set_args(int argc, char **argv);
/* Windows only. The roots ("D:\") of the CD-ROM drives C: to Z:, in letter
   order, joined in out as NUL-separated strings ending with an empty one.
   Returns the count. Test double: no drive letters, the count is 0. */
int pf_cd_drives(char *out, size_t cap);

/* ---- resources of the running program ---- */

/* Windows only. The RCDATA resource of the running program with the given
   name (language neutral or any), or none; *size receives its length. The
   bytes stay valid until the process ends. Test double: a test lends the
   program its resources: the file of that name in the folder named by the
   environment variable KELP_RCDATA_DIR, read once and kept. A test build
   (KELP_FAULTS) on Windows is lent them the same way while that variable
   names a folder. */
const void *pf_own_rcdata(const char *name, uint64_t *size);

/* ---- the registry (the current user's hive; Windows only) ---- */

typedef struct pf_key_s *pf_key;
/* Creates or opens HKEY_CURRENT_USER\subkey for writing; none on failure.
   Test double: values are recorded as text in the folder named by the
   environment variable KELP_REGISTRY_DIR (one file per key, the key's path
   with backslashes turned into '#', a line "name=REG_SZ:text" or
   "name=REG_DWORD:number" per value); without it every call fails. */
pf_key pf_reg_create_user_key(const char *subkey);
/* Writes a REG_SZ value, its length counting the terminating zero. */
int pf_reg_set_string(pf_key k, const char *name, const char *text);
int pf_reg_set_dword(pf_key k, const char *name, uint32_t value);
void pf_reg_close(pf_key k);
/* Deletes HKEY_CURRENT_USER\subkey, which must have no subkeys. */
int pf_reg_delete_user_key(const char *subkey);
/* Reads the REG_SZ value name of HKEY_CURRENT_USER\subkey into cap bytes;
   0 when the key or the value is missing, is no string or does not fit. Test
   double: the last line of the value in the key's text file. */
int pf_reg_get_user_string(const char *subkey, const char *name, char *out, size_t cap);

/* ---- the shell (Windows only) ---- */

enum { PF_FOLDER_PROGRAMS = 1, PF_FOLDER_DESKTOP = 2 };
/* The current user's Start-menu Programs folder or desktop folder into cap bytes.
   Returns 0 when the shell cannot say. Test double: the folders are "Programs"
   and "Desktop" inside the folder named by the environment variable
   KELP_SHELL_DIR, and without it there are none. */
int pf_shell_folder(int which, char *out, size_t cap);
/* Starts and ends the use of COM on the calling thread (apartment-threaded).
   Test double: nothing to do. */
void pf_com_begin(void);
void pf_com_end(void);
/* Creates or replaces the shortcut file lnk: target, working folder,
   description, icon file and index, no arguments. Needs pf_com_begin on the
   calling thread. Test double: the same fields are written to lnk as text lines
   "target=", "workdir=", "description=", "icon=" (file,index), for a test to read. */
int pf_make_shortcut(const char *lnk, const char *target, const char *workdir,
                     const char *description, const char *icon, int icon_index);
/* The target path of the shortcut file lnk into cap bytes; 0 when it cannot
   be read. Needs pf_com_begin on the calling thread. Test double: the
   "target=" line of the text file. */
int pf_shortcut_target(const char *lnk, char *out, size_t cap);

/* ---- processes and paths ---- */

/* Windows only. Starts the command line as a new process (CreateProcessA: no
   inheritance, the current environment and folder) and does not wait for it.
   Test double: the command line is recorded and the start fails. */
int pf_start_process(const char *command_line);
/* The id of the running process. */
unsigned long pf_process_id(void);
/* Waits up to ms milliseconds for the process with that id to end. 1 when it
   has ended (or no longer exists), 0 when it still runs. */
int pf_wait_process(unsigned long pid, unsigned ms);
/* Claims the one-setup-at-a-time lock of this user session, held until the
   process ends (a named mutex on Windows, owned by the calling thread; a file
   lock in the temporary folder elsewhere). 0 when another process holds it
   (on Windows still after a wait of 1.5 s, which lets a setup that is ending
   let go). */
int pf_claim_single_instance(void);
/* Windows only. Schedules a file for deletion at the next restart (MoveFileExA
   with MOVEFILE_DELAY_UNTIL_REBOOT; a normal user's request fails). Test
   double: the path is recorded and the call fails. */
int pf_delete_at_restart(const char *path);
/* Windows only. 1 when a running process was started from the program file
   exe (a full path), its image path compared with exe's as full long paths,
   case ignored: a process of this user is seen, and under a standard user a
   process that cannot be opened is not. Test double: 1 when exe is the path
   named by double_running (platform_double.h). */
int pf_running_from(const char *exe);
/* 1 when path is absolute: "X:\..." or "\\server\share" on Windows (either
   slash; a server name of "." or "?" is a device path, not a share), "/..."
   elsewhere. */
int pf_is_absolute(const char *path);

/* The full path of path into cap bytes, as Windows makes it of a name before
   it opens one (GetFullPathNameA): absolute against the current folder (or the
   current drive's), every separator one backslash, doubled separators merged,
   "." and ".." resolved, trailing dots and spaces of names dropped; a trailing
   separator stays. Only the name is worked on: nothing need exist, no link is
   followed. Elsewhere the same but for the dots and spaces, which a POSIX
   name keeps; "/" is the one root and is written as a backslash too (the
   POSIX paths here map it back). Returns the length, 0 on failure or when it
   does not fit. */
size_t pf_full_path(const char *path, char *out, size_t cap);

/* What names one file or folder, however it is reached: on Windows the volume
   serial number and the file index (GetFileInformationByHandle), elsewhere
   the device and inode numbers (stat). Two names of one folder (an 8.3 name,
   SUBST, a mapped drive, \\localhost\C$, a link) give the same identity. */
typedef struct pf_file_id {
    uint64_t volume;
    uint64_t index;
} pf_file_id;
/* The identity of the existing file or folder path, a link followed. 0 when
   it cannot be learned (missing, no right, a file system that gives every
   file the index 0). */
int pf_file_identity(const char *path, pf_file_id *out);

/* The characters that Windows counts against its path limit in a code-page
   path: its UTF-16 units (MultiByteToWideChar with the ANSI code page);
   elsewhere those of the UTF-8 text. Never more than its bytes. */
size_t pf_path_chars(const char *path);

/* ---- disk space and the current folder ---- */

/* The bytes free to the calling user on the volume that holds the existing
   folder (GetDiskFreeSpaceExA, which counts a disk quota; statvfs elsewhere). */
int pf_free_space(const char *folder, uint64_t *free_bytes);
/* The unit in which the volume that holds the existing folder gives files
   their space: every file takes a whole number of them (on Windows the
   cluster, sectors per cluster times bytes per sector from GetDiskFreeSpaceA;
   elsewhere statvfs's fragment size). 0 when it cannot be learned. */
int pf_cluster_size(const char *folder, uint64_t *cluster);
/* The process's current folder into cap bytes (GetCurrentDirectoryA). Returns
   the length, 0 on failure or when it does not fit. */
size_t pf_current_dir(char *out, size_t cap);
/* Makes folder the process's current folder (SetCurrentDirectoryA). */
int pf_set_current_dir(const char *folder);

#endif
