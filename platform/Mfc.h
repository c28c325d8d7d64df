// The MFC value types that cross the library's interface: CObject, CString,
// CStringList and CPtrArray, with the MFC operations the library and its
// hosts use. Strings are 8-bit.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

#include "Types.h"

// mingw checks format(printf) against msvcrt's printf, which lacks %zu;
// the library's text goes through the C99 printf mingw-w64 provides.
#if defined(__MINGW_PRINTF_FORMAT)
#  define TAVRIN_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#  define TAVRIN_PRINTF_FORMAT printf
#endif

class CArchive;
class CDumpContext;
class CObject;

struct TAVRIN_API CRuntimeClass {
    LPCSTR m_lpszClassName;
    int m_nObjectSize;
    UINT m_wSchema;
    const CRuntimeClass* m_pBaseClass;
};

class TAVRIN_API CObject {
public:
    virtual const CRuntimeClass* GetRuntimeClass() const;
    virtual ~CObject();
    virtual void Serialize(CArchive& ar);
    virtual void AssertValid() const;
    virtual void Dump(CDumpContext& dc) const;

    static const CRuntimeClass classCObject;

protected:
    CObject() = default;

public:
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;
};

class TAVRIN_API CString {
public:
    CString() = default;
    CString(const CString&) = default;
    CString(CString&&) noexcept = default;
    CString(LPCSTR psz);  // NOLINT: implicit, as in MFC
    CString(LPCSTR pch, int nLength);
    CString(char ch, int nRepeat = 1);
    CString& operator=(const CString&) = default;
    CString& operator=(CString&&) noexcept = default;
    CString& operator=(LPCSTR psz);
    CString& operator=(char ch);

    int GetLength() const { return static_cast<int>(m_text.size()); }
    BOOL IsEmpty() const { return m_text.empty() ? TRUE : FALSE; }
    void Empty() { m_text.clear(); }
    char GetAt(int nIndex) const { return m_text.at(static_cast<size_t>(nIndex)); }
    void SetAt(int nIndex, char ch) { m_text.at(static_cast<size_t>(nIndex)) = ch; }
    char operator[](int nIndex) const { return GetAt(nIndex); }
    operator LPCSTR() const { return m_text.c_str(); }  // NOLINT: as in MFC

    CString& operator+=(const CString& str);
    CString& operator+=(LPCSTR psz);
    CString& operator+=(char ch);

    int Compare(LPCSTR psz) const;
    int CompareNoCase(LPCSTR psz) const;

    int Find(char ch, int nStart = 0) const;
    int Find(LPCSTR pszSub, int nStart = 0) const;
    int ReverseFind(char ch) const;
    int Replace(char chOld, char chNew);
    int Replace(LPCSTR pszOld, LPCSTR pszNew);
    int Remove(char ch);
    int Insert(int nIndex, char ch);
    int Delete(int nIndex, int nCount = 1);

    CString Left(int nCount) const;
    CString Mid(int nFirst) const;
    CString Mid(int nFirst, int nCount) const;
    CString Right(int nCount) const;

    void MakeUpper();
    void MakeLower();
    void TrimRight();
    void TrimRight(char chTarget);
    void TrimLeft();

    void Format(LPCSTR pszFormat, ...) __attribute__((format(TAVRIN_PRINTF_FORMAT, 2, 3)));
    void FormatV(LPCSTR pszFormat, va_list args);

    // Direct access to the characters; ReleaseBuffer takes the length from
    // the terminating 0 (nNewLength < 0) or from nNewLength.
    LPSTR GetBuffer(int nMinBufLength);
    void ReleaseBuffer(int nNewLength = -1);

    // Loads a text of the library's string table; FALSE for an unknown id.
    // <windows.h> makes LoadString a macro for LoadStringA or LoadStringW;
    // the member keeps its own name, and the two spellings a host's
    // LoadString may turn into lead to it.
#pragma push_macro("LoadString")
#undef LoadString
    BOOL LoadString(UINT nID);
#if defined(_WIN32)
    BOOL LoadStringA(UINT nID) { return LoadString(nID); }
    BOOL LoadStringW(UINT nID) { return LoadString(nID); }
#endif
#pragma pop_macro("LoadString")

    const std::string& str() const { return m_text; }

private:
    std::string m_text;
};

TAVRIN_API CString operator+(const CString& a, const CString& b);
TAVRIN_API CString operator+(const CString& a, LPCSTR b);
TAVRIN_API CString operator+(LPCSTR a, const CString& b);
TAVRIN_API CString operator+(const CString& a, char b);
TAVRIN_API bool operator==(const CString& a, const CString& b);
TAVRIN_API bool operator==(const CString& a, LPCSTR b);
TAVRIN_API bool operator!=(const CString& a, const CString& b);
TAVRIN_API bool operator!=(const CString& a, LPCSTR b);
TAVRIN_API bool operator<(const CString& a, const CString& b);

struct __POSITION {};
using POSITION = __POSITION*;

// A doubly linked list of strings. The block size is kept for
// compatibility; nodes are allocated one at a time.
class TAVRIN_API CStringList : public CObject {
public:
    explicit CStringList(int nBlockSize = 10);
    ~CStringList() override;

    int GetCount() const { return m_nCount; }
    int GetSize() const { return m_nCount; }
    BOOL IsEmpty() const { return m_nCount == 0 ? TRUE : FALSE; }
    int GetBlockSize() const { return m_nBlockSize; }

    CString& GetHead();
    const CString& GetHead() const;
    CString& GetTail();
    const CString& GetTail() const;

    POSITION AddHead(const CString& str);
    POSITION AddTail(const CString& str);
    // Removing from an empty list returns an empty string.
    CString RemoveHead();
    CString RemoveTail();
    void RemoveAll();

    POSITION GetHeadPosition() const;
    POSITION GetTailPosition() const;
    CString& GetNext(POSITION& rPosition);
    const CString& GetNext(POSITION& rPosition) const;
    CString& GetAt(POSITION position);
    void RemoveAt(POSITION position);
    POSITION Find(LPCSTR searchValue, POSITION startAfter = nullptr) const;

private:
    struct Node;
    Node* m_pHead = nullptr;
    Node* m_pTail = nullptr;
    int m_nCount = 0;
    int m_nBlockSize;
};

class TAVRIN_API CPtrArray : public CObject {
public:
    CPtrArray() = default;
    ~CPtrArray() override;

    int GetSize() const { return static_cast<int>(m_items.size()); }
    int GetCount() const { return GetSize(); }
    int GetUpperBound() const { return GetSize() - 1; }
    BOOL IsEmpty() const { return m_items.empty() ? TRUE : FALSE; }
    void SetSize(int nNewSize);

    void* GetAt(int nIndex) const { return m_items.at(static_cast<size_t>(nIndex)); }
    void SetAt(int nIndex, void* p) { m_items.at(static_cast<size_t>(nIndex)) = p; }
    void*& ElementAt(int nIndex) { return m_items.at(static_cast<size_t>(nIndex)); }
    void* operator[](int nIndex) const { return GetAt(nIndex); }
    void*& operator[](int nIndex) { return ElementAt(nIndex); }

    int Add(void* p);
    void InsertAt(int nIndex, void* p, int nCount = 1);
    void RemoveAt(int nIndex, int nCount = 1);
    void RemoveAll() { m_items.clear(); }

private:
    std::vector<void*> m_items;
};
