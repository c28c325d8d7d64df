// The descriptor calls CFile is written over (platform/mfc/File.cpp), as
// POSIX names them.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tavrin::platform::fd {

// modeNoInherit is the only behaviour CFile offers; text and binary are
// the same here.
inline constexpr int kOpenAlways = O_CLOEXEC;

inline int Open(const char* path, int flags) { return ::open(path, flags, 0666); }
inline long long Read(int fd, void* buffer, unsigned count) { return ::read(fd, buffer, count); }
inline long long Write(int fd, const void* buffer, unsigned count) { return ::write(fd, buffer, count); }
inline long long Seek(int fd, long long offset, int whence)
{
    return ::lseek(fd, static_cast<off_t>(offset), whence);
}
inline bool Size(int fd, long long& size)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    size = st.st_size;
    return true;
}
// The data reaches the disk; a descriptor that cannot be synced (a pipe, a
// read-only file system) has nothing to flush.
inline bool Sync(int fd) { return ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS; }
inline int Close(int fd) { return ::close(fd); }

}  // namespace tavrin::platform::fd
