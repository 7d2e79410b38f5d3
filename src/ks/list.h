// The one container of the kernel-streaming client: a doubly linked list of borrowed element
// pointers in insertion order. Its owner empties it with RemoveHead and frees what it owns.
#pragma once

#include "platform/alloc.h"
#include "platform/platform.h"

namespace ferox {

template <typename T>
class TList {
  public:
    struct TListNode {
        FEROX_HEAP_OBJECT
        TListNode* pNext = nullptr;
        TListNode* pPrev = nullptr;
        T* pData = nullptr;
    };

    TList() = default;
    TList(const TList&) = delete;
    TList& operator=(const TList&) = delete;

    HRESULT Initialize(ULONG) { return S_OK; }

    // Null when no node could be had; the list is then unchanged.
    TListNode* AddTail(T* pData) {
        TListNode* node = new TListNode;
        if (node == nullptr)
            return nullptr;
        node->pData = pData;
        node->pPrev = m_pTail;
        if (m_pTail != nullptr) {
            m_pTail->pNext = node;
        } else {
            m_pHead = node;
        }
        ++m_nCount;
        m_pTail = node;
        return node;
    }

    BOOL RemoveHead(T** ppData) {
        if (ppData == nullptr || m_pHead == nullptr)
            return FALSE;
        TListNode* old = m_pHead;
        *ppData = old->pData;
        m_pHead = old->pNext;
        if (m_pHead != nullptr) {
            m_pHead->pPrev = nullptr;
        } else {
            m_pTail = nullptr;
        }
        delete old;
        --m_nCount;
        return TRUE;
    }

    TListNode* GetHead() const { return m_pHead; }

    BOOL GetNext(TListNode** pPos, T** ppData) const {
        if (pPos == nullptr || *pPos == nullptr)
            return FALSE;
        *ppData = (*pPos)->pData;
        *pPos = (*pPos)->pNext;
        return TRUE;
    }

    ULONG GetCount() const { return m_nCount; }

    // For tests of the invariants.
    TListNode* GetTail() const { return m_pTail; }

  private:
    TListNode* m_pHead = nullptr;
    TListNode* m_pTail = nullptr;
    ULONG m_nCount = 0;
};

}  // namespace ferox
