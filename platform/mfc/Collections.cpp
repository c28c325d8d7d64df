#include <algorithm>
#include <cstring>

#include "../Mfc.h"

struct CStringList::Node : __POSITION {
    Node* pNext = nullptr;
    Node* pPrev = nullptr;
    CString data;
};

CStringList::CStringList(int nBlockSize) : m_nBlockSize(nBlockSize > 0 ? nBlockSize : 10) {}

CStringList::~CStringList()
{
    RemoveAll();
}

CString& CStringList::GetHead()
{
    return m_pHead->data;
}

const CString& CStringList::GetHead() const
{
    return m_pHead->data;
}

CString& CStringList::GetTail()
{
    return m_pTail->data;
}

const CString& CStringList::GetTail() const
{
    return m_pTail->data;
}

POSITION CStringList::AddHead(const CString& str)
{
    Node* node = new Node;
    node->data = str;
    node->pNext = m_pHead;
    if (m_pHead)
        m_pHead->pPrev = node;
    else
        m_pTail = node;
    m_pHead = node;
    ++m_nCount;
    return node;
}

POSITION CStringList::AddTail(const CString& str)
{
    Node* node = new Node;
    node->data = str;
    node->pPrev = m_pTail;
    if (m_pTail)
        m_pTail->pNext = node;
    else
        m_pHead = node;
    m_pTail = node;
    ++m_nCount;
    return node;
}

CString CStringList::RemoveHead()
{
    if (!m_pHead)
        return CString();
    CString text = std::move(m_pHead->data);
    RemoveAt(m_pHead);
    return text;
}

CString CStringList::RemoveTail()
{
    if (!m_pTail)
        return CString();
    CString text = std::move(m_pTail->data);
    RemoveAt(m_pTail);
    return text;
}

void CStringList::RemoveAll()
{
    while (m_pHead) {
        Node* next = m_pHead->pNext;
        delete m_pHead;
        m_pHead = next;
    }
    m_pTail = nullptr;
    m_nCount = 0;
}

POSITION CStringList::GetHeadPosition() const
{
    return m_pHead;
}

POSITION CStringList::GetTailPosition() const
{
    return m_pTail;
}

CString& CStringList::GetNext(POSITION& rPosition)
{
    Node* node = static_cast<Node*>(rPosition);
    rPosition = node->pNext;
    return node->data;
}

const CString& CStringList::GetNext(POSITION& rPosition) const
{
    Node* node = static_cast<Node*>(rPosition);
    rPosition = node->pNext;
    return node->data;
}

CString& CStringList::GetAt(POSITION position)
{
    return static_cast<Node*>(position)->data;
}

void CStringList::RemoveAt(POSITION position)
{
    Node* node = static_cast<Node*>(position);
    if (node->pPrev)
        node->pPrev->pNext = node->pNext;
    else
        m_pHead = node->pNext;
    if (node->pNext)
        node->pNext->pPrev = node->pPrev;
    else
        m_pTail = node->pPrev;
    delete node;
    --m_nCount;
}

POSITION CStringList::Find(LPCSTR searchValue, POSITION startAfter) const
{
    Node* node = startAfter ? static_cast<Node*>(startAfter)->pNext : m_pHead;
    for (; node; node = node->pNext)
        if (node->data == searchValue)
            return node;
    return nullptr;
}

CPtrArray::~CPtrArray() = default;

void CPtrArray::SetSize(int nNewSize)
{
    m_items.resize(nNewSize > 0 ? static_cast<size_t>(nNewSize) : 0, nullptr);
}

int CPtrArray::Add(void* p)
{
    m_items.push_back(p);
    return GetUpperBound();
}

void CPtrArray::InsertAt(int nIndex, void* p, int nCount)
{
    if (nIndex < 0 || nCount <= 0)
        return;
    if (static_cast<size_t>(nIndex) > m_items.size())
        m_items.resize(static_cast<size_t>(nIndex), nullptr);
    m_items.insert(m_items.begin() + nIndex, static_cast<size_t>(nCount), p);
}

void CPtrArray::RemoveAt(int nIndex, int nCount)
{
    if (nIndex < 0 || nCount <= 0 || nIndex >= GetSize())
        return;
    const int last = std::min(GetSize(), nIndex + nCount);
    m_items.erase(m_items.begin() + nIndex, m_items.begin() + last);
}
