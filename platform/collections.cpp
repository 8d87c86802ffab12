// CObList as a doubly linked list of individually allocated nodes; a POSITION is the
// address of its node.
#include "platform/collections.h"

#include <string>

IMPLEMENT_DYNAMIC(CObList, CObject)
IMPLEMENT_DYNAMIC(CStringArray, CObject)

namespace vesk::detail {

void ThrowIndexOutOfRange(const char* where) {
    throw std::out_of_range(std::string(where) + ": no element there");
}

void ThrowInvalidArgument(const char* where) {
    throw std::invalid_argument(std::string(where) + ": invalid argument");
}

}  // namespace vesk::detail

struct CObList::CNode {
    CNode* pNext;
    CNode* pPrev;
    CObject* data;
};

namespace {
POSITION ToPosition(void* node) {
    return static_cast<POSITION>(node);
}
}  // namespace

CObList::CObList(INT_PTR nBlockSize) : m_nBlockSize(nBlockSize) {}

CObList::~CObList() {
    RemoveAll();
}

CObList::CNode* CObList::NodeOf(POSITION position) {
    if (position == nullptr)
        vesk::detail::ThrowInvalidArgument("CObList: null POSITION");
    return reinterpret_cast<CNode*>(position);
}

CObList::CNode* CObList::NewNode(CNode* pPrev, CNode* pNext, CObject* data) {
    return new CNode{pNext, pPrev, data};
}

void CObList::Unlink(CNode* pNode) {
    (pNode->pPrev ? pNode->pPrev->pNext : m_pNodeHead) = pNode->pNext;
    (pNode->pNext ? pNode->pNext->pPrev : m_pNodeTail) = pNode->pPrev;
    --m_nCount;
}

CObject*& CObList::GetHead() {
    if (m_pNodeHead == nullptr)
        vesk::detail::ThrowIndexOutOfRange("CObList::GetHead");
    return m_pNodeHead->data;
}

CObject* CObList::GetHead() const {
    return const_cast<CObList*>(this)->GetHead();
}

CObject*& CObList::GetTail() {
    if (m_pNodeTail == nullptr)
        vesk::detail::ThrowIndexOutOfRange("CObList::GetTail");
    return m_pNodeTail->data;
}

CObject* CObList::GetTail() const {
    return const_cast<CObList*>(this)->GetTail();
}

CObject* CObList::RemoveHead() {
    if (m_pNodeHead == nullptr)
        vesk::detail::ThrowIndexOutOfRange("CObList::RemoveHead");
    CNode* pNode = m_pNodeHead;
    CObject* data = pNode->data;
    Unlink(pNode);
    delete pNode;
    return data;
}

CObject* CObList::RemoveTail() {
    if (m_pNodeTail == nullptr)
        vesk::detail::ThrowIndexOutOfRange("CObList::RemoveTail");
    CNode* pNode = m_pNodeTail;
    CObject* data = pNode->data;
    Unlink(pNode);
    delete pNode;
    return data;
}

POSITION CObList::AddHead(CObject* newElement) {
    CNode* pNode = NewNode(nullptr, m_pNodeHead, newElement);
    (m_pNodeHead ? m_pNodeHead->pPrev : m_pNodeTail) = pNode;
    m_pNodeHead = pNode;
    ++m_nCount;
    return ToPosition(pNode);
}

POSITION CObList::AddTail(CObject* newElement) {
    CNode* pNode = NewNode(m_pNodeTail, nullptr, newElement);
    (m_pNodeTail ? m_pNodeTail->pNext : m_pNodeHead) = pNode;
    m_pNodeTail = pNode;
    ++m_nCount;
    return ToPosition(pNode);
}

// Copies the other list into a chain of new nodes first, so a failed allocation
// changes nothing and adding a list to itself copies it once.
void CObList::AddHead(CObList* pNewList) {
    if (pNewList == nullptr)
        vesk::detail::ThrowInvalidArgument("CObList::AddHead");
    CObList chain(m_nBlockSize);
    for (CNode* p = pNewList->m_pNodeHead; p != nullptr; p = p->pNext)
        chain.AddTail(p->data);
    Splice(chain, true);
}

void CObList::AddTail(CObList* pNewList) {
    if (pNewList == nullptr)
        vesk::detail::ThrowInvalidArgument("CObList::AddTail");
    CObList chain(m_nBlockSize);
    for (CNode* p = pNewList->m_pNodeHead; p != nullptr; p = p->pNext)
        chain.AddTail(p->data);
    Splice(chain, false);
}

void CObList::Splice(CObList& chain, bool atHead) {
    if (chain.m_pNodeHead == nullptr)
        return;
    if (atHead) {
        chain.m_pNodeTail->pNext = m_pNodeHead;
        (m_pNodeHead ? m_pNodeHead->pPrev : m_pNodeTail) = chain.m_pNodeTail;
        m_pNodeHead = chain.m_pNodeHead;
    } else {
        chain.m_pNodeHead->pPrev = m_pNodeTail;
        (m_pNodeTail ? m_pNodeTail->pNext : m_pNodeHead) = chain.m_pNodeHead;
        m_pNodeTail = chain.m_pNodeTail;
    }
    m_nCount += chain.m_nCount;
    chain.m_pNodeHead = chain.m_pNodeTail = nullptr;
    chain.m_nCount = 0;
}

void CObList::RemoveAll() {
    CNode* p = m_pNodeHead;
    while (p != nullptr) {
        CNode* pNext = p->pNext;
        delete p;
        p = pNext;
    }
    m_pNodeHead = m_pNodeTail = nullptr;
    m_nCount = 0;
}

POSITION CObList::GetHeadPosition() const {
    return ToPosition(m_pNodeHead);
}
POSITION CObList::GetTailPosition() const {
    return ToPosition(m_pNodeTail);
}

CObject*& CObList::GetNext(POSITION& rPosition) {
    CNode* pNode = NodeOf(rPosition);
    rPosition = ToPosition(pNode->pNext);
    return pNode->data;
}

CObject* CObList::GetNext(POSITION& rPosition) const {
    return const_cast<CObList*>(this)->GetNext(rPosition);
}

CObject*& CObList::GetPrev(POSITION& rPosition) {
    CNode* pNode = NodeOf(rPosition);
    rPosition = ToPosition(pNode->pPrev);
    return pNode->data;
}

CObject* CObList::GetPrev(POSITION& rPosition) const {
    return const_cast<CObList*>(this)->GetPrev(rPosition);
}

CObject*& CObList::GetAt(POSITION position) {
    return NodeOf(position)->data;
}
CObject* CObList::GetAt(POSITION position) const {
    return NodeOf(position)->data;
}
void CObList::SetAt(POSITION pos, CObject* newElement) {
    NodeOf(pos)->data = newElement;
}

void CObList::RemoveAt(POSITION position) {
    CNode* pNode = NodeOf(position);
    Unlink(pNode);
    delete pNode;
}

POSITION CObList::InsertBefore(POSITION position, CObject* newElement) {
    if (position == nullptr)
        return AddHead(newElement);
    CNode* pOld = NodeOf(position);
    CNode* pNode = NewNode(pOld->pPrev, pOld, newElement);
    (pOld->pPrev ? pOld->pPrev->pNext : m_pNodeHead) = pNode;
    pOld->pPrev = pNode;
    ++m_nCount;
    return ToPosition(pNode);
}

POSITION CObList::InsertAfter(POSITION position, CObject* newElement) {
    if (position == nullptr)
        return AddTail(newElement);
    CNode* pOld = NodeOf(position);
    CNode* pNode = NewNode(pOld, pOld->pNext, newElement);
    (pOld->pNext ? pOld->pNext->pPrev : m_pNodeTail) = pNode;
    pOld->pNext = pNode;
    ++m_nCount;
    return ToPosition(pNode);
}

POSITION CObList::Find(CObject* searchValue, POSITION startAfter) const {
    CNode* p = startAfter ? NodeOf(startAfter)->pNext : m_pNodeHead;
    for (; p != nullptr; p = p->pNext) {
        if (p->data == searchValue)
            return ToPosition(p);
    }
    return nullptr;
}

POSITION CObList::FindIndex(INT_PTR nIndex) const {
    if (nIndex < 0 || nIndex >= m_nCount)
        return nullptr;
    CNode* p = m_pNodeHead;
    while (nIndex-- > 0)
        p = p->pNext;
    return ToPosition(p);
}
