// MFC's files and archives, so that settings code written for Windows
// compiles unchanged: CFile (a file on disk), CMemFile (a growable buffer in
// memory) and CArchive, which stores numbers little-endian and strings in
// MFC's 8-bit format (a 1-, 3- or 7-byte length prefix, then the bytes).
//
// Failures are thrown as MFC throws them: a pointer to a CArchiveException
// or CFileException that the catcher frees with Delete(). An archive that
// ends inside a field throws CArchiveException::endOfFile; a length prefix
// longer than what the file still holds fails the same way before anything
// is allocated for it.
#pragma once

#include <vector>

#include "Mfc.h"

class TAVRIN_API CException {
public:
    virtual ~CException();
    // Frees an exception thrown by pointer.
    void Delete();

protected:
    CException() = default;
};

class TAVRIN_API CArchiveException : public CException {
public:
    enum {
        none,
        genericException,
        readOnly,
        endOfFile,
        writeOnly,
        badIndex,
        badClass,
        badSchema,
    };
    explicit CArchiveException(int cause = none, LPCSTR lpszArchiveName = nullptr);
    int m_cause;
    CString m_strFileName;
};

class TAVRIN_API CFileException : public CException {
public:
    enum {
        none,
        genericException,
        fileNotFound,
        badPath,
        tooManyOpenFiles,
        accessDenied,
        invalidFile,
        removeCurrentDir,
        directoryFull,
        badSeek,
        hardIO,
        sharingViolation,
        lockViolation,
        diskFull,
        endOfFile,
    };
    explicit CFileException(int cause = none, LONG lOsError = -1, LPCSTR lpszArchiveName = nullptr);
    int m_cause;
    LONG m_lOsError;
    CString m_strFileName;
};

class TAVRIN_API CFile : public CObject {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        typeText = 0x4000,
        typeBinary = 0x8000,
    };
    enum SeekPosition { begin = 0, current = 1, end = 2 };

    CFile();
    // Opens or throws a CFileException.
    CFile(LPCSTR lpszFileName, UINT nOpenFlags);
    ~CFile() override;

    // FALSE, with the reason in *pError when given, instead of a throw.
    virtual BOOL Open(LPCSTR lpszFileName, UINT nOpenFlags, CFileException* pError = nullptr);
    // The bytes read; fewer at the end of the file. Throws on failure.
    virtual UINT Read(void* lpBuf, UINT nCount);
    // Writes every byte or throws (diskFull, ...).
    virtual void Write(const void* lpBuf, UINT nCount);
    virtual ULONGLONG Seek(LONGLONG lOff, UINT nFrom);
    void SeekToBegin() { Seek(0, begin); }
    ULONGLONG SeekToEnd() { return Seek(0, end); }
    virtual ULONGLONG GetLength() const;
    virtual ULONGLONG GetPosition() const;
    virtual void Flush();
    virtual void Close();
    virtual void Abort();
    CString GetFilePath() const { return m_strFileName; }

protected:
    int m_fd = -1;
    CString m_strFileName;
};

class TAVRIN_API CMemFile : public CFile {
public:
    explicit CMemFile(UINT nGrowBytes = 1024);
    // Reads (and, when nGrowBytes is not 0, writes) the caller's buffer,
    // which the file does not own.
    CMemFile(BYTE* lpBuffer, UINT nBufferSize, UINT nGrowBytes = 0);
    ~CMemFile() override;

    void Attach(BYTE* lpBuffer, UINT nBufferSize, UINT nGrowBytes = 0);
    // Hands the buffer to the caller (free it with free()); the file is
    // empty afterwards.
    BYTE* Detach();

    BOOL Open(LPCSTR lpszFileName, UINT nOpenFlags, CFileException* pError = nullptr) override;
    UINT Read(void* lpBuf, UINT nCount) override;
    void Write(const void* lpBuf, UINT nCount) override;
    ULONGLONG Seek(LONGLONG lOff, UINT nFrom) override;
    ULONGLONG GetLength() const override;
    ULONGLONG GetPosition() const override;
    void Flush() override;
    void Close() override;
    void Abort() override;

private:
    BYTE* m_lpBuffer = nullptr;
    SIZE_T m_nBufferSize = 0;
    SIZE_T m_nFileSize = 0;
    SIZE_T m_nPosition = 0;
    UINT m_nGrowBytes = 1024;
    bool m_bAutoDelete = true;
};

class TAVRIN_API CArchive {
public:
    enum Mode : UINT { store = 0, load = 1, bNoFlushOnDelete = 2, bNoByteSwap = 4 };

    CArchive(CFile* pFile, UINT nMode, int nBufSize = 4096, void* lpBuf = nullptr);
    // Flushes a storing archive that was not closed (errors are swallowed
    // here, as MFC does in its destructor).
    ~CArchive();
    CArchive(const CArchive&) = delete;
    CArchive& operator=(const CArchive&) = delete;

    BOOL IsLoading() const { return (m_nMode & load) != 0; }
    BOOL IsStoring() const { return (m_nMode & load) == 0; }
    CFile* GetFile() const { return m_pFile; }

    // Reads up to nMax bytes; fewer at the end of the file.
    UINT Read(void* lpBuf, UINT nMax);
    void Write(const void* lpBuf, UINT nMax);
    void Flush();
    void Close();
    void Abort();
    // Makes at least nBytesNeeded bytes available in the buffer, or throws
    // endOfFile.
    void FillBuffer(UINT nBytesNeeded);

    CArchive& operator<<(BYTE by);
    CArchive& operator<<(WORD w);
    // LONG is int here, so the LONG overloads also serve int (4 bytes).
    CArchive& operator<<(LONG l);
    CArchive& operator<<(DWORD dw);
    CArchive& operator<<(LONGLONG ll);
    CArchive& operator<<(ULONGLONG ull);
    CArchive& operator<<(const CString& str);
    CArchive& operator>>(BYTE& by);
    CArchive& operator>>(WORD& w);
    CArchive& operator>>(LONG& l);
    CArchive& operator>>(DWORD& dw);
    CArchive& operator>>(LONGLONG& ll);
    CArchive& operator>>(ULONGLONG& ull);
    CArchive& operator>>(CString& str);
#if defined(_WIN32)
    // LONG and DWORD are long on Windows, so int and UINT need forms of
    // their own, as MFC has; they store the same four bytes.
    CArchive& operator<<(int i) { return *this << static_cast<LONG>(i); }
    CArchive& operator<<(UINT u) { return *this << static_cast<DWORD>(u); }
    CArchive& operator>>(int& i)
    {
        LONG l = 0;
        *this >> l;
        i = static_cast<int>(l);
        return *this;
    }
    CArchive& operator>>(UINT& u)
    {
        DWORD dw = 0;
        *this >> dw;
        u = static_cast<UINT>(dw);
        return *this;
    }
#endif

    // MFC's string length prefix; on reading, 16-bit strings are marked and
    // their length follows.
    void WriteStringLength(SIZE_T nLength);
    SIZE_T ReadStringLength(int& nCharSize);

private:
    // Bytes a loading archive can still deliver: what is buffered plus what
    // the file holds past its position.
    ULONGLONG BytesAvailable() const;
    void RequireLoading() const;
    void RequireStoring() const;
    void Reserve(SIZE_T nBytes);
    void PutLittleEndian(ULONGLONG value, int nBytes);
    ULONGLONG GetLittleEndian(int nBytes);

    CFile* m_pFile;
    UINT m_nMode;
    std::vector<BYTE> m_buffer;
    SIZE_T m_nCur = 0;   // load: next byte to read; store: bytes waiting
    SIZE_T m_nMax = 0;   // load: bytes in the buffer
    bool m_bClosed = false;
};
