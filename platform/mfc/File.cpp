// CFile over the system's file descriptors (FileDescriptors.h of each
// backend). Failures are thrown as CFileException pointers carrying the
// cause and errno, as MFC's carry the cause and GetLastError.
#include <cerrno>

#include "../Archive.h"
#if defined(_WIN32)
#include "../win32/FileDescriptors.h"
#else
#include "../posix/FileDescriptors.h"
#endif

namespace fd = tavrin::platform::fd;

namespace {

int CauseOf(int error)
{
    switch (error) {
    case ENOENT: return CFileException::fileNotFound;
    case EACCES: return CFileException::accessDenied;
    case ENOSPC: return CFileException::diskFull;
    case EMFILE: return CFileException::tooManyOpenFiles;
    default: return CFileException::genericException;
    }
}

[[noreturn]] void ThrowErrno(int error, const CString& name)
{
    throw new CFileException(CauseOf(error), static_cast<LONG>(error), name);
}

}  // namespace

CFile::CFile() = default;

CFile::CFile(LPCSTR lpszFileName, UINT nOpenFlags)
{
    CFileException error;
    if (!Open(lpszFileName, nOpenFlags, &error))
        throw new CFileException(error.m_cause, error.m_lOsError, error.m_strFileName);
}

CFile::~CFile()
{
    // Errors cannot be reported from here; the descriptor goes regardless.
    if (m_fd >= 0)
        fd::Close(m_fd);
    m_fd = -1;
}

BOOL CFile::Open(LPCSTR lpszFileName, UINT nOpenFlags, CFileException* pError)
{
    if (m_fd >= 0)
        Abort();
    m_strFileName = lpszFileName != nullptr ? lpszFileName : "";

    int flags = fd::kOpenAlways;
    switch (nOpenFlags & 3) {
    case modeRead: flags |= O_RDONLY; break;
    case modeWrite: flags |= O_WRONLY; break;
    case modeReadWrite: flags |= O_RDWR; break;
    default:
        if (pError != nullptr) {
            pError->m_cause = CFileException::genericException;
            pError->m_lOsError = EINVAL;
            pError->m_strFileName = m_strFileName;
        }
        return FALSE;
    }
    if ((nOpenFlags & modeCreate) != 0) {
        flags |= O_CREAT;
        if ((nOpenFlags & modeNoTruncate) == 0)
            flags |= O_TRUNC;
    }
    // Share modes are accepted as given: files open shared.
    int opened;
    do {
        opened = fd::Open(m_strFileName, flags);
    } while (opened < 0 && errno == EINTR);
    if (opened < 0) {
        const int error = errno;
        if (pError != nullptr) {
            pError->m_cause = CauseOf(error);
            pError->m_lOsError = error;
            pError->m_strFileName = m_strFileName;
        }
        return FALSE;
    }
    m_fd = opened;
    return TRUE;
}

UINT CFile::Read(void* lpBuf, UINT nCount)
{
    if (m_fd < 0)
        throw new CFileException(CFileException::invalidFile, EBADF, m_strFileName);
    char* out = static_cast<char*>(lpBuf);
    UINT done = 0;
    // Short reads happen on pipes and terminals; only 0 means the end.
    while (done < nCount) {
        const long long n = fd::Read(m_fd, out + done, nCount - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ThrowErrno(errno, m_strFileName);
        }
        if (n == 0)
            break;
        done += static_cast<UINT>(n);
    }
    return done;
}

void CFile::Write(const void* lpBuf, UINT nCount)
{
    if (m_fd < 0)
        throw new CFileException(CFileException::invalidFile, EBADF, m_strFileName);
    const char* in = static_cast<const char*>(lpBuf);
    UINT done = 0;
    while (done < nCount) {
        const long long n = fd::Write(m_fd, in + done, nCount - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ThrowErrno(errno, m_strFileName);
        }
        // A write of 0 bytes on a regular file is a full disk.
        if (n == 0)
            ThrowErrno(ENOSPC, m_strFileName);
        done += static_cast<UINT>(n);
    }
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom)
{
    if (m_fd < 0)
        throw new CFileException(CFileException::invalidFile, EBADF, m_strFileName);
    int whence;
    switch (nFrom) {
    case begin: whence = SEEK_SET; break;
    case current: whence = SEEK_CUR; break;
    case end: whence = SEEK_END; break;
    default: throw new CFileException(CFileException::badSeek, EINVAL, m_strFileName);
    }
    const long long pos = fd::Seek(m_fd, lOff, whence);
    if (pos < 0) {
        const int error = errno;
        throw new CFileException(error == EINVAL ? CFileException::badSeek : CauseOf(error), error, m_strFileName);
    }
    return static_cast<ULONGLONG>(pos);
}

ULONGLONG CFile::GetLength() const
{
    if (m_fd < 0)
        throw new CFileException(CFileException::invalidFile, EBADF, m_strFileName);
    long long size = 0;
    if (!fd::Size(m_fd, size))
        ThrowErrno(errno, m_strFileName);
    return static_cast<ULONGLONG>(size);
}

ULONGLONG CFile::GetPosition() const
{
    if (m_fd < 0)
        throw new CFileException(CFileException::invalidFile, EBADF, m_strFileName);
    const long long pos = fd::Seek(m_fd, 0, SEEK_CUR);
    if (pos < 0)
        ThrowErrno(errno, m_strFileName);
    return static_cast<ULONGLONG>(pos);
}

void CFile::Flush()
{
    if (m_fd < 0)
        return;
    // What MFC's flush promises: the data reaches the disk.
    if (!fd::Sync(m_fd))
        ThrowErrno(errno, m_strFileName);
}

void CFile::Close()
{
    if (m_fd < 0)
        return;
    const int closing = m_fd;
    m_fd = -1;
    // The descriptor is gone even when close reports an error (EINTR
    // included), so it is never closed twice.
    if (fd::Close(closing) != 0 && errno != EINTR)
        ThrowErrno(errno, m_strFileName);
}

void CFile::Abort()
{
    if (m_fd >= 0)
        fd::Close(m_fd);
    m_fd = -1;
}
