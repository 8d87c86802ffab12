// The MFC collections the item tree uses: CObList (and its typed wrapper
// CTypedPtrList), CArray and CStringArray, with MFC's members and semantics.
//
// Where MFC asserts (empty list, null POSITION, index out of range) these classes
// throw std::logic_error subclasses instead of corrupting memory: std::out_of_range
// for a missing element, std::invalid_argument for a null POSITION or a negative
// size. Allocation failure throws std::bad_alloc and leaves the collection as it was.
#pragma once

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/cstring.h"
#include "platform/export.h"
#include "platform/object.h"
#include "platform/wintypes.h"

// An opaque place in a list. A POSITION stays valid until its own element is removed,
// whatever else is inserted or removed.
namespace vesk::detail {
struct PositionTag;
}
typedef vesk::detail::PositionTag* POSITION;

// Doubly linked list of CObject pointers. The list never owns or deletes the objects.
class VESK_API CObList : public CObject {
    DECLARE_DYNAMIC(CObList)

public:
    // MFC allocates nodes in blocks of nBlockSize. Nodes here are allocated one by one,
    // so a stale POSITION is caught by the sanitizers; the value is kept for callers.
    explicit CObList(INT_PTR nBlockSize = 10);
    ~CObList() override;

    INT_PTR GetCount() const { return m_nCount; }
    INT_PTR GetSize() const { return m_nCount; }
    BOOL IsEmpty() const { return m_nCount == 0; }
    INT_PTR GetBlockSize() const { return m_nBlockSize; }

    CObject*& GetHead();
    CObject* GetHead() const;
    CObject*& GetTail();
    CObject* GetTail() const;

    CObject* RemoveHead();
    CObject* RemoveTail();

    POSITION AddHead(CObject* newElement);
    POSITION AddTail(CObject* newElement);
    // Adds the elements of another list (or of this one), keeping their order.
    void AddHead(CObList* pNewList);
    void AddTail(CObList* pNewList);

    void RemoveAll();

    POSITION GetHeadPosition() const;
    POSITION GetTailPosition() const;
    // The element at rPosition; rPosition moves to the next (previous) one, null at the end.
    CObject*& GetNext(POSITION& rPosition);
    CObject* GetNext(POSITION& rPosition) const;
    CObject*& GetPrev(POSITION& rPosition);
    CObject* GetPrev(POSITION& rPosition) const;

    CObject*& GetAt(POSITION position);
    CObject* GetAt(POSITION position) const;
    void SetAt(POSITION pos, CObject* newElement);
    void RemoveAt(POSITION position);

    // A null position inserts at the head (InsertBefore) or the tail (InsertAfter).
    POSITION InsertBefore(POSITION position, CObject* newElement);
    POSITION InsertAfter(POSITION position, CObject* newElement);

    // First element equal to searchValue after startAfter (from the head when null).
    POSITION Find(CObject* searchValue, POSITION startAfter = nullptr) const;
    // Position of the zero-based nIndex-th element; null when out of range.
    POSITION FindIndex(INT_PTR nIndex) const;

private:
    struct CNode;
    static CNode* NodeOf(POSITION position);
    CNode* NewNode(CNode* pPrev, CNode* pNext, CObject* data);
    void Unlink(CNode* pNode);
    void Splice(CObList& chain, bool atHead);

    CNode* m_pNodeHead = nullptr;
    CNode* m_pNodeTail = nullptr;
    INT_PTR m_nCount = 0;
    INT_PTR m_nBlockSize;
};

// A CObList whose elements are TYPE (a pointer to a class derived from CObject).
// The typed accessors return values; write through SetAt.
template <class BASE_CLASS, class TYPE>
class CTypedPtrList : public BASE_CLASS {
    static_assert(std::is_pointer_v<TYPE>, "CTypedPtrList holds pointers");

public:
    explicit CTypedPtrList(INT_PTR nBlockSize = 10) : BASE_CLASS(nBlockSize) {}

    TYPE GetHead() const { return Cast(BASE_CLASS::GetHead()); }
    TYPE GetTail() const { return Cast(BASE_CLASS::GetTail()); }
    TYPE RemoveHead() { return Cast(BASE_CLASS::RemoveHead()); }
    TYPE RemoveTail() { return Cast(BASE_CLASS::RemoveTail()); }
    TYPE GetNext(POSITION& rPosition) const { return Cast(BASE_CLASS::GetNext(rPosition)); }
    TYPE GetPrev(POSITION& rPosition) const { return Cast(BASE_CLASS::GetPrev(rPosition)); }
    TYPE GetAt(POSITION position) const { return Cast(BASE_CLASS::GetAt(position)); }
    void SetAt(POSITION pos, TYPE newElement) { BASE_CLASS::SetAt(pos, newElement); }

    POSITION AddHead(TYPE newElement) { return BASE_CLASS::AddHead(newElement); }
    POSITION AddTail(TYPE newElement) { return BASE_CLASS::AddTail(newElement); }
    void AddHead(CTypedPtrList* pNewList) { BASE_CLASS::AddHead(pNewList); }
    void AddTail(CTypedPtrList* pNewList) { BASE_CLASS::AddTail(pNewList); }
    POSITION InsertBefore(POSITION position, TYPE newElement) {
        return BASE_CLASS::InsertBefore(position, newElement);
    }
    POSITION InsertAfter(POSITION position, TYPE newElement) {
        return BASE_CLASS::InsertAfter(position, newElement);
    }
    POSITION Find(TYPE searchValue, POSITION startAfter = nullptr) const {
        return BASE_CLASS::Find(searchValue, startAfter);
    }

private:
    static TYPE Cast(CObject* p) { return static_cast<TYPE>(p); }
};

namespace vesk::detail {
[[noreturn]] VESK_API void ThrowIndexOutOfRange(const char* where);
[[noreturn]] VESK_API void ThrowInvalidArgument(const char* where);
}  // namespace vesk::detail

// Growable array of TYPE; ARG_TYPE is how elements are passed in (TYPE or const TYPE&).
// Elements are stored contiguously, so GetData() points at GetSize() elements.
template <class TYPE, class ARG_TYPE = const TYPE&>
class CArray : public CObject {
    static_assert(!std::is_same_v<TYPE, bool>, "use BOOL: the storage must be contiguous");

public:
    CArray() = default;

    INT_PTR GetSize() const { return static_cast<INT_PTR>(m_data.size()); }
    INT_PTR GetCount() const { return GetSize(); }
    BOOL IsEmpty() const { return m_data.empty(); }
    INT_PTR GetUpperBound() const { return GetSize() - 1; }

    // New elements are value-initialised (zero for plain types), as MFC does.
    // nGrowBy is MFC's growth hint; the storage grows geometrically anyway.
    void SetSize(INT_PTR nNewSize, INT_PTR nGrowBy = -1) {
        (void)nGrowBy;
        if (nNewSize < 0)
            vesk::detail::ThrowInvalidArgument("CArray::SetSize");
        m_data.resize(static_cast<size_t>(nNewSize));
    }
    void FreeExtra() { m_data.shrink_to_fit(); }
    void RemoveAll() { m_data.clear(); }

    const TYPE& GetAt(INT_PTR nIndex) const { return m_data[Checked(nIndex, "CArray::GetAt")]; }
    TYPE& GetAt(INT_PTR nIndex) { return m_data[Checked(nIndex, "CArray::GetAt")]; }
    void SetAt(INT_PTR nIndex, ARG_TYPE newElement) {
        m_data[Checked(nIndex, "CArray::SetAt")] = newElement;
    }
    const TYPE& ElementAt(INT_PTR nIndex) const {
        return m_data[Checked(nIndex, "CArray::ElementAt")];
    }
    TYPE& ElementAt(INT_PTR nIndex) { return m_data[Checked(nIndex, "CArray::ElementAt")]; }
    const TYPE& operator[](INT_PTR nIndex) const { return GetAt(nIndex); }
    TYPE& operator[](INT_PTR nIndex) { return GetAt(nIndex); }

    const TYPE* GetData() const { return m_data.data(); }
    TYPE* GetData() { return m_data.data(); }

    // Sets the element, growing the array first when nIndex is past the end.
    void SetAtGrow(INT_PTR nIndex, ARG_TYPE newElement) {
        if (nIndex < 0)
            vesk::detail::ThrowInvalidArgument("CArray::SetAtGrow");
        if (nIndex < GetSize()) {
            m_data[static_cast<size_t>(nIndex)] = newElement;
            return;
        }
        Splice(static_cast<size_t>(nIndex), 1,
               [&](std::vector<TYPE>& out) { out.push_back(newElement); });
    }

    // Appends; returns the new element's index.
    INT_PTR Add(ARG_TYPE newElement) {
        m_data.push_back(newElement);
        return GetSize() - 1;
    }

    // Appends a copy of src (which may be this array); returns the old size.
    INT_PTR Append(const CArray& src) {
        const INT_PTR nOldSize = GetSize();
        if (&src != this) {
            m_data.insert(m_data.end(), src.m_data.begin(), src.m_data.end());
        } else {
            Splice(m_data.size(), m_data.size(), [&](std::vector<TYPE>& out) {
                out.insert(out.end(), m_data.begin(), m_data.end());
            });
        }
        return nOldSize;
    }

    void Copy(const CArray& src) {
        if (&src == this)
            return;
        std::vector<TYPE> copy(src.m_data);
        m_data.swap(copy);
    }

    // Inserts nCount copies at nIndex; past the end the array first grows to nIndex.
    void InsertAt(INT_PTR nIndex, ARG_TYPE newElement, INT_PTR nCount = 1) {
        if (nIndex < 0 || nCount < 0)
            vesk::detail::ThrowInvalidArgument("CArray::InsertAt");
        if (nCount == 0)
            return;
        Splice(static_cast<size_t>(nIndex), static_cast<size_t>(nCount),
               [&](std::vector<TYPE>& out) {
                   out.insert(out.end(), static_cast<size_t>(nCount), newElement);
               });
    }

    // Inserts a copy of every element of pNewArray (which may be this array) at nStartIndex.
    void InsertAt(INT_PTR nStartIndex, const CArray* pNewArray) {
        if (pNewArray == nullptr || nStartIndex < 0)
            vesk::detail::ThrowInvalidArgument("CArray::InsertAt");
        if (pNewArray->IsEmpty())
            return;
        Splice(static_cast<size_t>(nStartIndex), pNewArray->m_data.size(),
               [&](std::vector<TYPE>& out) {
                   out.insert(out.end(), pNewArray->m_data.begin(), pNewArray->m_data.end());
               });
    }

    void RemoveAt(INT_PTR nIndex, INT_PTR nCount = 1) {
        if (nIndex < 0 || nCount < 0 || nCount > GetSize() - nIndex)
            vesk::detail::ThrowIndexOutOfRange("CArray::RemoveAt");
        // Shift the tail down by hand: GCC 12 misreads erase() here as a negative move.
        const size_t first = static_cast<size_t>(nIndex), count = static_cast<size_t>(nCount);
        std::move(m_data.begin() + static_cast<std::ptrdiff_t>(first + count), m_data.end(),
                  m_data.begin() + static_cast<std::ptrdiff_t>(first));
        m_data.resize(m_data.size() - count);
    }

private:
    // Builds the result aside and swaps it in, so a failed allocation or element copy
    // leaves the array as it was, and an inserted element may come from this array.
    // emit appends the nCount new elements; a gap up to nIndex is value-initialised.
    template <class Emit>
    void Splice(size_t nIndex, size_t nCount, Emit emit) {
        const size_t head = std::min(nIndex, m_data.size());
        std::vector<TYPE> next;
        next.reserve(std::max(nIndex, m_data.size()) + nCount);
        next.insert(next.end(), m_data.begin(), m_data.begin() + static_cast<std::ptrdiff_t>(head));
        next.resize(nIndex);
        emit(next);
        next.insert(next.end(), m_data.begin() + static_cast<std::ptrdiff_t>(head), m_data.end());
        m_data.swap(next);
    }

    size_t Checked(INT_PTR nIndex, const char* where) const {
        if (nIndex < 0 || nIndex >= GetSize())
            vesk::detail::ThrowIndexOutOfRange(where);
        return static_cast<size_t>(nIndex);
    }

    std::vector<TYPE> m_data;
};

// Array of CString; Add and SetAt take anything a CString is made from.
class VESK_API CStringArray : public CArray<CString, const CString&> {
    DECLARE_DYNAMIC(CStringArray)

public:
    CStringArray() = default;
};
