#include "../Files.h"

#include <windows.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace tavrin::files {
namespace {

int ErrnoOf(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_DISK_FULL: return ENOSPC;
    default: return EIO;
    }
}

// FILETIME counts 100 ns from 1601-01-01.
constexpr long long kEpochDifference = 11644473600LL;

}  // namespace

int Stat(const std::string& path, FileInfo& info)
{
    struct _stat64 st {};
    if (::_stat64(path.c_str(), &st) != 0)
        return errno;
    info.size = static_cast<unsigned long long>(st.st_size);
    info.modified = static_cast<long long>(st.st_mtime);
    info.directory = (st.st_mode & _S_IFDIR) != 0;
    return 0;
}

int Rename(const std::string& from, const std::string& to, bool replace)
{
    // Without MOVEFILE_REPLACE_EXISTING the move fails on an existing name.
    if (MoveFileExA(from.c_str(), to.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0))
        return 0;
    return ErrnoOf(GetLastError());
}

int Remove(const std::string& path) { return DeleteFileA(path.c_str()) ? 0 : ErrnoOf(GetLastError()); }

int SetModified(const std::string& path, long long modified)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return ErrnoOf(GetLastError());
    const unsigned long long ticks = static_cast<unsigned long long>(modified + kEpochDifference) * 10000000ULL;
    FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    const BOOL ok = SetFileTime(file, nullptr, nullptr, &time);
    const DWORD error = GetLastError();
    CloseHandle(file);
    return ok ? 0 : ErrnoOf(error);
}

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace tavrin::files
