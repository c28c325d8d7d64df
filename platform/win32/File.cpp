// CFile over the C runtime's descriptors, in binary mode. Failures are
// thrown as CFileException pointers carrying the cause and errno, as the
// POSIX backend does, so callers see one behaviour.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

#include "../Archive.h"

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
        ::_close(m_fd);
    m_fd = -1;
}

BOOL CFile::Open(LPCSTR lpszFileName, UINT nOpenFlags, CFileException* pError)
{
    if (m_fd >= 0)
        Abort();
    m_strFileName = lpszFileName != nullptr ? lpszFileName : "";

    int flags = _O_BINARY | _O_NOINHERIT;  // modeNoInherit is the only behaviour we offer
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
    // Share modes are accepted as given (the runtime opens shared); the
    // library's files are binary, typeText included.
    int fd;
    do {
        fd = ::_open(m_strFileName, flags, _S_IREAD | _S_IWRITE);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        if (pError != nullptr) {
            pError->m_cause = CauseOf(error);
            pError->m_lOsError = error;
            pError->m_strFileName = m_strFileName;
        }
        return FALSE;
    }
    m_fd = fd;
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
        const int n = ::_read(m_fd, out + done, nCount - done);
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
        const int n = ::_write(m_fd, in + done, nCount - done);
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
    const __int64 pos = ::_lseeki64(m_fd, lOff, whence);
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
    struct _stat64 st {};
    if (::_fstat64(m_fd, &st) != 0)
        ThrowErrno(errno, m_strFileName);
    return static_cast<ULONGLONG>(st.st_size);
}

ULONGLONG CFile::GetPosition() const
{
    if (m_fd < 0)
        throw new CFileException(CFileException::invalidFile, EBADF, m_strFileName);
    const __int64 pos = ::_lseeki64(m_fd, 0, SEEK_CUR);
    if (pos < 0)
        ThrowErrno(errno, m_strFileName);
    return static_cast<ULONGLONG>(pos);
}

void CFile::Flush()
{
    if (m_fd < 0)
        return;
    // What the Windows version's flush promises: the data reaches the disk.
    if (::_commit(m_fd) != 0 && errno != EINVAL)
        ThrowErrno(errno, m_strFileName);
}

void CFile::Close()
{
    if (m_fd < 0)
        return;
    const int fd = m_fd;
    m_fd = -1;
    // The descriptor is gone even when close reports an error (EINTR
    // included), so it is never closed twice.
    if (::_close(fd) != 0 && errno != EINTR)
        ThrowErrno(errno, m_strFileName);
}

void CFile::Abort()
{
    if (m_fd >= 0)
        ::_close(m_fd);
    m_fd = -1;
}
