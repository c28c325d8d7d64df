// The portable half of the archive vocabulary: the exceptions, CMemFile and
// CArchive. Nothing here touches the OS; CFile's own file operations live in
// platform/mfc/File.cpp.
#include "../Archive.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

// ---------------------------------------------------------------------------
// Exceptions

CException::~CException() = default;

void CException::Delete()
{
    delete this;
}

CArchiveException::CArchiveException(int cause, LPCSTR lpszArchiveName)
    : m_cause(cause), m_strFileName(lpszArchiveName != nullptr ? lpszArchiveName : "")
{
}

CFileException::CFileException(int cause, LONG lOsError, LPCSTR lpszArchiveName)
    : m_cause(cause), m_lOsError(lOsError), m_strFileName(lpszArchiveName != nullptr ? lpszArchiveName : "")
{
}

// ---------------------------------------------------------------------------
// CMemFile

CMemFile::CMemFile(UINT nGrowBytes) : m_nGrowBytes(nGrowBytes) {}

CMemFile::CMemFile(BYTE* lpBuffer, UINT nBufferSize, UINT nGrowBytes)
{
    Attach(lpBuffer, nBufferSize, nGrowBytes);
}

CMemFile::~CMemFile()
{
    Close();
}

void CMemFile::Attach(BYTE* lpBuffer, UINT nBufferSize, UINT nGrowBytes)
{
    Close();
    m_lpBuffer = lpBuffer;
    m_nBufferSize = lpBuffer != nullptr ? nBufferSize : 0;
    // A fixed buffer is the file as it stands; a growable one is only room
    // to write into, so the file starts empty.
    m_nFileSize = nGrowBytes == 0 ? m_nBufferSize : 0;
    m_nPosition = 0;
    m_nGrowBytes = nGrowBytes;
    m_bAutoDelete = false;
}

BYTE* CMemFile::Detach()
{
    BYTE* buffer = m_lpBuffer;
    m_lpBuffer = nullptr;
    m_nBufferSize = 0;
    m_nFileSize = 0;
    m_nPosition = 0;
    m_bAutoDelete = true;
    return buffer;
}

BOOL CMemFile::Open(LPCSTR lpszFileName, UINT, CFileException* pError)
{
    // A memory file has no name to open.
    if (pError != nullptr) {
        pError->m_cause = CFileException::genericException;
        pError->m_lOsError = -1;
        pError->m_strFileName = lpszFileName != nullptr ? lpszFileName : "";
    }
    return FALSE;
}

UINT CMemFile::Read(void* lpBuf, UINT nCount)
{
    if (nCount == 0 || m_nPosition >= m_nFileSize)
        return 0;
    const SIZE_T n = std::min<SIZE_T>(nCount, m_nFileSize - m_nPosition);
    std::memcpy(lpBuf, m_lpBuffer + m_nPosition, n);
    m_nPosition += n;
    return static_cast<UINT>(n);
}

void CMemFile::Write(const void* lpBuf, UINT nCount)
{
    if (nCount == 0)
        return;
    if (nCount > std::numeric_limits<SIZE_T>::max() - m_nPosition)
        throw new CFileException(CFileException::diskFull);
    const SIZE_T end = m_nPosition + nCount;
    if (end > m_nBufferSize) {
        // A buffer the file was given without room to grow stays as it is.
        if (m_nGrowBytes == 0)
            throw new CFileException(CFileException::diskFull);
        // Whole steps of nGrowBytes, so that many small writes do not
        // reallocate each time.
        SIZE_T size = end + (m_nGrowBytes - end % m_nGrowBytes) % m_nGrowBytes;
        if (size < end)
            size = end;
        BYTE* grown;
        if (m_bAutoDelete) {
            grown = static_cast<BYTE*>(std::realloc(m_lpBuffer, size));
        } else {
            // The caller's buffer is not ours to realloc: move to our own.
            grown = static_cast<BYTE*>(std::malloc(size));
            if (grown != nullptr && m_nFileSize > 0)
                std::memcpy(grown, m_lpBuffer, m_nFileSize);
        }
        if (grown == nullptr)
            throw std::bad_alloc();
        m_lpBuffer = grown;
        m_nBufferSize = size;
        m_bAutoDelete = true;
    }
    // A write after a seek past the end leaves zeros in the gap, not
    // whatever the allocator handed back.
    if (m_nPosition > m_nFileSize)
        std::memset(m_lpBuffer + m_nFileSize, 0, m_nPosition - m_nFileSize);
    std::memcpy(m_lpBuffer + m_nPosition, lpBuf, nCount);
    m_nPosition = end;
    m_nFileSize = std::max(m_nFileSize, end);
}

ULONGLONG CMemFile::Seek(LONGLONG lOff, UINT nFrom)
{
    LONGLONG base;
    switch (nFrom) {
    case begin: base = 0; break;
    case current: base = static_cast<LONGLONG>(m_nPosition); break;
    case end: base = static_cast<LONGLONG>(m_nFileSize); break;
    default: throw new CFileException(CFileException::badSeek);
    }
    if ((lOff < 0 && base + lOff < 0) || (lOff > 0 && base > std::numeric_limits<LONGLONG>::max() - lOff))
        throw new CFileException(CFileException::badSeek);
    m_nPosition = static_cast<SIZE_T>(base + lOff);
    return m_nPosition;
}

ULONGLONG CMemFile::GetLength() const
{
    return m_nFileSize;
}

ULONGLONG CMemFile::GetPosition() const
{
    return m_nPosition;
}

void CMemFile::Flush() {}

void CMemFile::Close()
{
    if (m_bAutoDelete)
        std::free(m_lpBuffer);
    m_lpBuffer = nullptr;
    m_nBufferSize = 0;
    m_nFileSize = 0;
    m_nPosition = 0;
    m_bAutoDelete = true;
}

void CMemFile::Abort()
{
    Close();
}

// ---------------------------------------------------------------------------
// CArchive

namespace {

// Room for the widest field (8 bytes) twice over, whatever the caller asks.
constexpr int kMinBufSize = 16;

[[noreturn]] void ThrowArchive(int cause)
{
    throw new CArchiveException(cause);
}

}  // namespace

CArchive::CArchive(CFile* pFile, UINT nMode, int nBufSize, void*)
    : m_pFile(pFile), m_nMode(nMode), m_buffer(static_cast<size_t>(std::max(nBufSize, kMinBufSize)))
{
}

CArchive::~CArchive()
{
    if (!m_bClosed && m_pFile != nullptr && (m_nMode & bNoFlushOnDelete) == 0) {
        try {
            Close();
        } catch (CException* e) {
            e->Delete();
        } catch (...) {
        }
    }
    m_bClosed = true;
}

void CArchive::RequireLoading() const
{
    if (!IsLoading())
        ThrowArchive(CArchiveException::writeOnly);
    if (m_bClosed || m_pFile == nullptr)
        ThrowArchive(CArchiveException::genericException);
}

void CArchive::RequireStoring() const
{
    if (IsLoading())
        ThrowArchive(CArchiveException::readOnly);
    if (m_bClosed || m_pFile == nullptr)
        ThrowArchive(CArchiveException::genericException);
}

UINT CArchive::Read(void* lpBuf, UINT nMax)
{
    RequireLoading();
    BYTE* out = static_cast<BYTE*>(lpBuf);
    UINT done = 0;
    // First what is already buffered.
    const SIZE_T buffered = std::min<SIZE_T>(nMax, m_nMax - m_nCur);
    std::memcpy(out, m_buffer.data() + m_nCur, buffered);
    m_nCur += buffered;
    done += static_cast<UINT>(buffered);
    // Large remainders go straight from the file, whole buffers at a time;
    // copying them through the buffer would only cost a copy.
    while (nMax - done >= m_buffer.size()) {
        const UINT want = static_cast<UINT>((nMax - done) - (nMax - done) % m_buffer.size());
        const UINT got = m_pFile->Read(out + done, want);
        done += got;
        if (got == 0)
            return done;
    }
    // The tail through the buffer, which also reads ahead for later fields.
    while (done < nMax) {
        m_nCur = 0;
        m_nMax = m_pFile->Read(m_buffer.data(), static_cast<UINT>(m_buffer.size()));
        if (m_nMax == 0)
            break;
        const SIZE_T n = std::min<SIZE_T>(nMax - done, m_nMax);
        std::memcpy(out + done, m_buffer.data(), n);
        m_nCur = n;
        done += static_cast<UINT>(n);
    }
    return done;
}

void CArchive::Write(const void* lpBuf, UINT nMax)
{
    RequireStoring();
    const BYTE* in = static_cast<const BYTE*>(lpBuf);
    if (nMax <= m_buffer.size() - m_nCur) {
        std::memcpy(m_buffer.data() + m_nCur, in, nMax);
        m_nCur += nMax;
        return;
    }
    Flush();
    if (nMax >= m_buffer.size()) {
        m_pFile->Write(in, nMax);
        return;
    }
    std::memcpy(m_buffer.data(), in, nMax);
    m_nCur = nMax;
}

void CArchive::Flush()
{
    if (m_bClosed || m_pFile == nullptr)
        return;
    if (IsStoring()) {
        if (m_nCur > 0) {
            // Emptied first: a failed write must not be written again by the
            // destructor's flush.
            const SIZE_T n = m_nCur;
            m_nCur = 0;
            m_pFile->Write(m_buffer.data(), static_cast<UINT>(n));
        }
    } else if (m_nMax > m_nCur) {
        // What was read ahead goes back to the file, so that the file's
        // position is where the archive's reading stopped.
        const LONGLONG unread = static_cast<LONGLONG>(m_nMax - m_nCur);
        m_nCur = m_nMax = 0;
        m_pFile->Seek(-unread, CFile::current);
    }
}

void CArchive::Close()
{
    if (m_bClosed)
        return;
    try {
        Flush();
    } catch (...) {
        m_bClosed = true;
        throw;
    }
    m_bClosed = true;
}

void CArchive::Abort()
{
    m_nCur = m_nMax = 0;
    m_bClosed = true;
}

void CArchive::FillBuffer(UINT nBytesNeeded)
{
    RequireLoading();
    if (nBytesNeeded > m_buffer.size())
        ThrowArchive(CArchiveException::genericException);
    SIZE_T left = m_nMax - m_nCur;
    if (left >= nBytesNeeded)
        return;
    std::memmove(m_buffer.data(), m_buffer.data() + m_nCur, left);
    m_nCur = 0;
    m_nMax = left;
    while (m_nMax < nBytesNeeded) {
        const UINT got = m_pFile->Read(m_buffer.data() + m_nMax, static_cast<UINT>(m_buffer.size() - m_nMax));
        if (got == 0)
            ThrowArchive(CArchiveException::endOfFile);
        m_nMax += got;
    }
}

ULONGLONG CArchive::BytesAvailable() const
{
    const ULONGLONG length = m_pFile->GetLength();
    const ULONGLONG position = m_pFile->GetPosition();
    return (m_nMax - m_nCur) + (length > position ? length - position : 0);
}

void CArchive::Reserve(SIZE_T nBytes)
{
    if (m_buffer.size() - m_nCur < nBytes)
        Flush();
}

void CArchive::PutLittleEndian(ULONGLONG value, int nBytes)
{
    RequireStoring();
    Reserve(static_cast<SIZE_T>(nBytes));
    for (int i = 0; i < nBytes; ++i)
        m_buffer[m_nCur++] = static_cast<BYTE>(value >> (8 * i));
}

ULONGLONG CArchive::GetLittleEndian(int nBytes)
{
    FillBuffer(static_cast<UINT>(nBytes));
    ULONGLONG value = 0;
    for (int i = 0; i < nBytes; ++i)
        value |= static_cast<ULONGLONG>(m_buffer[m_nCur++]) << (8 * i);
    return value;
}

CArchive& CArchive::operator<<(BYTE by)
{
    PutLittleEndian(by, 1);
    return *this;
}

CArchive& CArchive::operator<<(WORD w)
{
    PutLittleEndian(w, 2);
    return *this;
}

CArchive& CArchive::operator<<(LONG l)
{
    PutLittleEndian(static_cast<DWORD>(l), 4);
    return *this;
}

CArchive& CArchive::operator<<(DWORD dw)
{
    PutLittleEndian(dw, 4);
    return *this;
}

CArchive& CArchive::operator<<(LONGLONG ll)
{
    PutLittleEndian(static_cast<ULONGLONG>(ll), 8);
    return *this;
}

CArchive& CArchive::operator<<(ULONGLONG ull)
{
    PutLittleEndian(ull, 8);
    return *this;
}

CArchive& CArchive::operator>>(BYTE& by)
{
    by = static_cast<BYTE>(GetLittleEndian(1));
    return *this;
}

CArchive& CArchive::operator>>(WORD& w)
{
    w = static_cast<WORD>(GetLittleEndian(2));
    return *this;
}

CArchive& CArchive::operator>>(LONG& l)
{
    l = static_cast<LONG>(static_cast<DWORD>(GetLittleEndian(4)));
    return *this;
}

CArchive& CArchive::operator>>(DWORD& dw)
{
    dw = static_cast<DWORD>(GetLittleEndian(4));
    return *this;
}

CArchive& CArchive::operator>>(LONGLONG& ll)
{
    ll = static_cast<LONGLONG>(GetLittleEndian(8));
    return *this;
}

CArchive& CArchive::operator>>(ULONGLONG& ull)
{
    ull = GetLittleEndian(8);
    return *this;
}

void CArchive::WriteStringLength(SIZE_T nLength)
{
    if (nLength < 0xFF) {
        PutLittleEndian(nLength, 1);
    } else if (nLength < 0xFFFE) {
        // 0xFFFE is kept out of the 2-byte form: there it marks a string of
        // 16-bit characters.
        PutLittleEndian(0xFF, 1);
        PutLittleEndian(nLength, 2);
    } else {
        PutLittleEndian(0xFF, 1);
        PutLittleEndian(0xFFFF, 2);
        if (nLength < 0xFFFFFFFFu) {
            PutLittleEndian(nLength, 4);
        } else {
            PutLittleEndian(0xFFFFFFFFu, 4);
            PutLittleEndian(nLength, 8);
        }
    }
}

SIZE_T CArchive::ReadStringLength(int& nCharSize)
{
    nCharSize = 1;
    bool marked = false;
    for (;;) {
        const ULONGLONG b = GetLittleEndian(1);
        if (b < 0xFF)
            return static_cast<SIZE_T>(b);
        const ULONGLONG w = GetLittleEndian(2);
        if (w == 0xFFFE) {
            // The 16-bit marker, once; its own length prefix follows.
            if (marked)
                ThrowArchive(CArchiveException::genericException);
            marked = true;
            nCharSize = 2;
            continue;
        }
        if (w < 0xFFFF)
            return static_cast<SIZE_T>(w);
        const ULONGLONG dw = GetLittleEndian(4);
        if (dw < 0xFFFFFFFFu)
            return static_cast<SIZE_T>(dw);
        const ULONGLONG qw = GetLittleEndian(8);
        if (qw > std::numeric_limits<SIZE_T>::max())
            ThrowArchive(CArchiveException::endOfFile);
        return static_cast<SIZE_T>(qw);
    }
}

CArchive& CArchive::operator<<(const CString& str)
{
    RequireStoring();
    const SIZE_T n = static_cast<SIZE_T>(str.GetLength());
    WriteStringLength(n);
    const char* p = str;
    // In pieces that fit a UINT, though a CString never needs more than one.
    for (SIZE_T done = 0; done < n;) {
        const UINT chunk = static_cast<UINT>(std::min<SIZE_T>(n - done, 0x40000000u));
        Write(p + done, chunk);
        done += chunk;
    }
    return *this;
}

CArchive& CArchive::operator>>(CString& str)
{
    RequireLoading();
    int nCharSize = 1;
    const SIZE_T n = ReadStringLength(nCharSize);
    // A length is checked against what the file can still deliver before
    // anything is allocated for it: a damaged or hostile prefix would
    // otherwise ask for gigabytes.
    const ULONGLONG available = BytesAvailable();
    if (n > available / static_cast<ULONGLONG>(nCharSize) || n > static_cast<SIZE_T>(std::numeric_limits<int>::max()))
        ThrowArchive(CArchiveException::endOfFile);
    const SIZE_T bytes = n * static_cast<SIZE_T>(nCharSize);
    std::string raw(bytes, '\0');
    for (SIZE_T done = 0; done < bytes;) {
        const UINT chunk = static_cast<UINT>(std::min<SIZE_T>(bytes - done, 0x40000000u));
        const UINT got = Read(raw.data() + done, chunk);
        if (got != chunk)
            ThrowArchive(CArchiveException::endOfFile);
        done += got;
    }
    if (nCharSize == 2) {
        // Strings are 8-bit here: characters beyond one byte become '?'.
        std::string narrow(n, '\0');
        for (SIZE_T i = 0; i < n; ++i) {
            const unsigned ch = static_cast<BYTE>(raw[2 * i]) | (static_cast<unsigned>(static_cast<BYTE>(raw[2 * i + 1])) << 8);
            narrow[i] = ch < 0x100 ? static_cast<char>(ch) : '?';
        }
        raw.swap(narrow);
    }
    str = CString(raw.data(), static_cast<int>(raw.size()));
    return *this;
}
