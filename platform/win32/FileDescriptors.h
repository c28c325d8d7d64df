// The descriptor calls CFile is written over (platform/mfc/File.cpp), as
// the C runtime names them on Windows.
#pragma once

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

namespace tavrin::platform::fd {

// modeNoInherit is the only behaviour CFile offers, and the library's files
// are binary, typeText included: the runtime's text mode would turn LF into
// CR LF and stop reading at Ctrl-Z.
inline constexpr int kOpenAlways = _O_BINARY | _O_NOINHERIT;

inline int Open(const char* path, int flags) { return ::_open(path, flags, _S_IREAD | _S_IWRITE); }
inline long long Read(int fd, void* buffer, unsigned count) { return ::_read(fd, buffer, count); }
inline long long Write(int fd, const void* buffer, unsigned count) { return ::_write(fd, buffer, count); }
inline long long Seek(int fd, long long offset, int whence) { return ::_lseeki64(fd, offset, whence); }
inline bool Size(int fd, long long& size)
{
    struct _stat64 st {};
    if (::_fstat64(fd, &st) != 0)
        return false;
    size = st.st_size;
    return true;
}
inline bool Sync(int fd) { return ::_commit(fd) == 0 || errno == EINVAL; }
inline int Close(int fd) { return ::_close(fd); }

}  // namespace tavrin::platform::fd
