/*
 * testkit.h - helpers shared by the unit tests: scratch folders in the temporary
 * folder, small files, and a capture of the setup log's lines.
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

/* Opens the log in a private temporary folder and returns its lines on demand;
   closes the log when it goes out of scope. */
struct LogCapture {
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    std::string path;
};

#endif
