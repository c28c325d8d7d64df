#include "../Files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tavrin::files {

int Stat(const std::string& path, FileInfo& info)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno;
    info.size = static_cast<unsigned long long>(st.st_size);
    info.modified = static_cast<long long>(st.st_mtime);
    info.directory = S_ISDIR(st.st_mode);
    return 0;
}

int Rename(const std::string& from, const std::string& to, bool replace)
{
    if (replace)
        return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without the flag: a hard link fails on an existing name
    // just as atomically.
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    ::unlink(from.c_str());
    return 0;
}

int Remove(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

int SetModified(const std::string& path, long long modified)
{
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(modified), 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0 ? 0 : errno;
}

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace tavrin::files
