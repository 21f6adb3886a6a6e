#include "testkit.h"

#include "platform.h"
#include "setup_log.h"
#include "util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>

std::string scratch(const std::string &name)
{
    char tmp[260];
    if (!pf_temp_dir(tmp, sizeof tmp)) abort();
    std::string p = std::string(tmp) + "kelp_" + name;
    delete_tree(p.c_str());
    if (!make_dirs(p.c_str())) abort();
    return p;
}

void put(const std::string &path, const std::string &text)
{
    if (!write_file(path.c_str(), text.data(), text.size())) abort();
}

std::string get(const std::string &path)
{
    uint64_t n = 0;
    char *b = (char *)read_file(path.c_str(), &n);
    if (!b) return "<missing>";
    std::string s(b, (size_t)n);
    free(b);
    return s;
}

void set_env(const std::string &name, const std::string &value)
{
    // putenv keeps the string itself: it lives until it is replaced.
    static std::map<std::string, char *> kept;
    char *s = strdup((name + "=" + value).c_str());
    putenv(s);
    free(kept[name]);
    kept[name] = s;
}

std::string pattern_bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        s[i] = (char)(x >> 24);
    }
    return s;
}

int record_ask(int what, const char *path, void *user)
{
    AskRecord *a = (AskRecord *)user;
    a->what = what, a->path = path, a->count++;
    if (a->then) a->then();
    return a->answer;
}

LogCapture::LogCapture()
{
    log_close();
    log_open();
    path = log_path();
}

LogCapture::~LogCapture() { log_close(); }

std::vector<std::string> LogCapture::lines() const
{
    std::vector<std::string> out;
    FILE *f = pf_fopen(path.c_str(), "rb");
    if (!f) return out;
    std::string cur;
    int c;
    while ((c = fgetc(f)) != EOF) {
        if (c == '\r') continue; /* text mode on Windows */
        if (c == '\n') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += (char)c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    fclose(f);
    return out;
}

/* A file held past its tries costs the tests no 15 seconds each: the tries
   of a held file pause 300 ms in all here, long enough for several tries. */
static const int held_budget_shortened = (held_budget_ms = 300, 1);
