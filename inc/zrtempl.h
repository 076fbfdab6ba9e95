// TArray: the growable array of pointers behind every list of the key tree.
#ifndef ZRTEMPL_H
#define ZRTEMPL_H

#include <string.h>

#include "zrplat.h"

template <class TYPE>
inline void ArConstructElements(TYPE* pElements, int nCount) {
    if (nCount > 0) memset(static_cast<void*>(pElements), 0, static_cast<size_t>(nCount) * sizeof(TYPE));
}

template <class TYPE>
inline void ArDestructElements(TYPE*, int) {}

// A block that cannot be obtained leaves the array exactly as it was: SetSize and
// InsertAt return false and Add returns -1, so that callers can report no memory.
template <class TYPE, class ARG_TYPE>
class TArray {
public:
    TArray() : m_pData(nullptr), m_nSize(0), m_nMaxSize(0), m_nGrowBy(0) {}
    ~TArray() { zrFree(m_pData); }
    ZR_POOLED_CLASS
    TArray(const TArray&) = delete;
    TArray& operator=(const TArray&) = delete;

    int GetSize() const { return m_nSize; }
    int GetUpperBound() const { return m_nSize - 1; }
    bool SetSize(int nNewSize, int nGrowBy);
    int GetMaxSize() const { return m_nMaxSize; }
    void RemoveAll() { SetSize(0, -1); }
    TYPE GetAt(int nIndex) const { return m_pData[nIndex]; }
    void SetAt(int nIndex, ARG_TYPE newElement) { m_pData[nIndex] = newElement; }
    TYPE& ElementAt(int nIndex) { return m_pData[nIndex]; }
    const TYPE* GetData() const { return m_pData; }
    TYPE* GetData() { return m_pData; }
    bool SetAtGrow(int nIndex, ARG_TYPE newElement);
    int Add(ARG_TYPE newElement);
    TYPE operator[](int nIndex) const { return m_pData[nIndex]; }
    TYPE& operator[](int nIndex) { return m_pData[nIndex]; }
    bool InsertAt(int nIndex, ARG_TYPE newElement, int nCount);
    void RemoveAt(int nIndex, int nCount);
    // Makes room for nCount more elements by the same growth an Add would do, so that
    // the next nCount Adds cannot fail; the size is unchanged.
    bool Reserve(int nCount) {
        int nOld = m_nSize;
        if (nOld + nCount <= m_nMaxSize) return true;
        if (!SetSize(nOld + nCount, -1)) return false;
        m_nSize = nOld;
        return true;
    }

    // Gives back the room beyond the last element; false, and the array as it was, when
    // the smaller block cannot be had.
    bool ShrinkToFit() {
        if (m_nSize == m_nMaxSize) return true;
        if (m_nSize == 0) return SetSize(0, -1);
        TYPE* p = NewBlock(m_nSize);
        if (!p) return false;
        memcpy(static_cast<void*>(p), m_pData, static_cast<size_t>(m_nSize) * sizeof(TYPE));
        zrFree(m_pData);
        m_pData = p;
        m_nMaxSize = m_nSize;
        return true;
    }

private:
    // The elements are pointers: a block of them needs no construction.
    static TYPE* NewBlock(int n) {
        return static_cast<TYPE*>(zrMalloc(static_cast<size_t>(n) * sizeof(TYPE)));
    }

    TYPE* m_pData;
    int m_nSize;
    int m_nMaxSize;
    int m_nGrowBy;  // kept, but the growth rule does not consult it
};

template <class TYPE, class ARG_TYPE>
bool TArray<TYPE, ARG_TYPE>::SetSize(int nNewSize, int nGrowBy) {
    if (nGrowBy != -1) m_nGrowBy = nGrowBy;
    if (nNewSize == 0) {
        zrFree(m_pData);
        m_pData = nullptr;
        m_nSize = m_nMaxSize = 0;
        return true;
    }
    if (m_pData == nullptr) {
        TYPE* p = NewBlock(nNewSize);
        if (!p) return false;
        ArConstructElements(p, nNewSize);
        m_pData = p;
        m_nSize = m_nMaxSize = nNewSize;
        return true;
    }
    if (nNewSize <= m_nMaxSize) {
        if (nNewSize > m_nSize) ArConstructElements(m_pData + m_nSize, nNewSize - m_nSize);
        m_nSize = nNewSize;
        return true;
    }
    int grow = m_nSize >= 1024 ? m_nSize : (m_nSize / 2 < 8 ? 8 : m_nSize / 2);
    int newMax = m_nMaxSize + grow > nNewSize ? m_nMaxSize + grow : nNewSize;
    TYPE* p = NewBlock(newMax);
    if (!p) return false;
    if (m_nSize > 0) memcpy(static_cast<void*>(p), m_pData, static_cast<size_t>(m_nSize) * sizeof(TYPE));
    ArConstructElements(p + m_nSize, nNewSize - m_nSize);
    zrFree(m_pData);
    m_pData = p;
    m_nSize = nNewSize;
    m_nMaxSize = newMax;
    return true;
}

template <class TYPE, class ARG_TYPE>
bool TArray<TYPE, ARG_TYPE>::SetAtGrow(int nIndex, ARG_TYPE newElement) {
    if (nIndex >= m_nSize && !SetSize(nIndex + 1, -1)) return false;
    m_pData[nIndex] = newElement;
    return true;
}

template <class TYPE, class ARG_TYPE>
int TArray<TYPE, ARG_TYPE>::Add(ARG_TYPE newElement) {
    int nIndex = m_nSize;
    return SetAtGrow(nIndex, newElement) ? nIndex : -1;
}

template <class TYPE, class ARG_TYPE>
bool TArray<TYPE, ARG_TYPE>::InsertAt(int nIndex, ARG_TYPE newElement, int nCount) {
    if (nIndex < m_nSize) {
        int nOldSize = m_nSize;
        if (!SetSize(m_nSize + nCount, -1)) return false;
        memmove(static_cast<void*>(m_pData + nIndex + nCount), m_pData + nIndex,
                static_cast<size_t>(nOldSize - nIndex) * sizeof(TYPE));
        ArConstructElements(m_pData + nIndex, nCount);
    } else if (!SetSize(nIndex + nCount, -1)) {
        return false;
    }
    for (int i = 0; i < nCount; ++i) m_pData[nIndex + i] = newElement;
    return true;
}

template <class TYPE, class ARG_TYPE>
void TArray<TYPE, ARG_TYPE>::RemoveAt(int nIndex, int nCount) {
    int nMoveCount = m_nSize - (nIndex + nCount);
    if (nMoveCount)
        memmove(static_cast<void*>(m_pData + nIndex), m_pData + nIndex + nCount,
                static_cast<size_t>(nMoveCount) * sizeof(TYPE));
    m_nSize -= nCount;
}

#endif
