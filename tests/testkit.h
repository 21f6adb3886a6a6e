/*
 * testkit.h - helpers shared by the unit tests: scratch folders in the temporary
 * folder, small files, a capture of the setup log's lines, and a record of the
 * questions asked after the tries of a held file.
 */
#ifndef KELP_TESTKIT_H
#define KELP_TESTKIT_H

#include <stdint.h>
#include <string>
#include <vector>

/* A fresh, empty folder "<temp>kelp_<name>", removed first if it exists. The
   path uses backslashes; the POSIX layer maps them. */
std::string scratch(const std::string &name);
/* Writes text as the whole file (parents are created). */
void put(const std::string &path, const std::string &text);
/* The whole file, or "<missing>". */
std::string get(const std::string &path);
/* Sets an environment variable of this process; an empty value stands for none. */
void set_env(const std::string &name, const std::string &value);
/* A deterministic byte pattern of n bytes. */
std::string pattern_bytes(size_t n, unsigned seed);

/* The questions asked after the tries of a held file, as record_ask records
   them: how many, and the last one's what and path. Before each answer it runs
   then, when given: what ends the cause (the hold, the running game). */
struct AskRecord {
    void (*then)(void) = nullptr;
    int answer = 1; /* Retry; 0 for Cancel */
    int what = 0, count = 0;
    std::string path;
};
/* A held_ask_fn for set_ask_held whose user is an AskRecord: records the
   question, runs its then, and gives its answer. */
int record_ask(int what, const char *path, void *user);

/* Opens the log in a private temporary folder and returns its lines on demand;
   closes the log when it goes out of scope. */
struct LogCapture {
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    std::string path;
};

#endif
