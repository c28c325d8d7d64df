// Whole-file operations beyond CFile's reading and writing: what a receiver
// of files needs to put a checked file in place without overwriting one,
// and what a sender needs to describe a file. Paths in the system's own
// form; the results are errno values (0 on success) on every system.
#pragma once

#include <string>

#include "Export.h"

namespace tavrin::files {

struct FileInfo {
    unsigned long long size = 0;
    long long modified = 0;  // seconds since 1970-01-01 UTC
    bool directory = false;
};

TAVRIN_API int Stat(const std::string& path, FileInfo& info);
// Renames from to to; with replace false, EEXIST when to exists, decided
// atomically where the system can (so two receivers cannot both win).
TAVRIN_API int Rename(const std::string& from, const std::string& to, bool replace);
TAVRIN_API int Remove(const std::string& path);
TAVRIN_API int SetModified(const std::string& path, long long modified);
// The system's text for an errno value.
TAVRIN_API std::string ErrorText(int error);

}  // namespace tavrin::files
