// Stand-in for the panel's string and array library (libhostshim): the least the plug-in uses.
// CString keeps the panel's one-pointer layout: the text, with its length stored ahead of it;
// every empty string points at the shared sentinel _afxPchNil.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "Exported.h"

#if defined(HOSTSHIM_STATIC) // linked into a program that must stand alone
#define HOSTSHIM_API
#elif defined(HOSTSHIM_BUILDING)
#define HOSTSHIM_API PANEL_EXPORTED
#else
#define HOSTSHIM_API PANEL_IMPORTED
#endif

typedef unsigned char BYTE;
typedef uint32_t DWORD;

// What stands ahead of a CString's text.
struct CStringData {
  int nDataLength;  // bytes of text, without the terminating zero
  int nAllocLength; // bytes the text may hold, without the terminating zero
  char* data() { return reinterpret_cast<char*>(this + 1); }
};

extern "C" HOSTSHIM_API const char* _afxPchNil;

class HOSTSHIM_API CString {
public:
  CString();
  CString(const CString& other);
  CString(const char* text);            // null reads as empty
  CString(const char* text, int length); // exactly `length` bytes, zero bytes included
  ~CString();

  CString& operator=(const CString& other);
  CString& operator=(const char* text);
  CString& operator+=(const CString& other);
  CString& operator+=(const char* text);
  CString& operator+=(char ch);

  int GetLength() const { return GetData()->nDataLength; }
  bool IsEmpty() const { return GetLength() == 0; }
  operator const char*() const { return m_pchData; }
  const char* c_str() const { return m_pchData; }
  char GetAt(int index) const { return m_pchData[index]; }
  char operator[](int index) const { return m_pchData[index]; }

  // -1 when not found; start below 0 counts as 0.
  int Find(char ch, int start = 0) const;
  int Find(const char* sub, int start = 0) const;
  // printf-style; the text is replaced by the result.
  void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Room for at least minLength bytes; ReleaseBuffer sets the length (-1: up to the first zero byte).
  char* GetBuffer(int minLength);
  void ReleaseBuffer(int newLength = -1);
  CString Left(int count) const;
  CString Mid(int first) const;
  CString Mid(int first, int count) const;
  CString& MakeUpper();
  // White space (isspace) or one given character, from either end.
  CString& TrimLeft();
  CString& TrimRight();
  CString& TrimLeft(char ch);
  CString& TrimRight(char ch);
  void Empty();

  friend bool operator==(const CString& a, const CString& b) {
    return a.GetLength() == b.GetLength() && std::memcmp(a.m_pchData, b.m_pchData, a.GetLength()) == 0;
  }
  friend bool operator==(const CString& a, const char* b) { return std::strcmp(a.m_pchData, b ? b : "") == 0; }
  friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }

private:
  // The header ahead of the text is int-aligned: every text is allocated behind one.
  CStringData* GetData() const { return static_cast<CStringData*>(static_cast<void*>(m_pchData)) - 1; }
  void AssignCopy(const char* text, int length);
  void AllocBuffer(int length); // replaces the text by an uninitialised one of `length` bytes
  void Release();

  char* m_pchData;
};
static_assert(sizeof(CString) == sizeof(void*), "CString is one pointer, as on the panel");

// Byte array: storage grows in steps of m_nGrowBy (0: a heuristic step); growth is zero-filled.
class HOSTSHIM_API CByteArray {
public:
  CByteArray();
  CByteArray(const CByteArray&) = delete;
  CByteArray& operator=(const CByteArray&) = delete;
  ~CByteArray();

  int GetSize() const { return m_nSize; }
  BYTE* GetData() { return m_pData; }
  const BYTE* GetData() const { return m_pData; }
  // growBy -1 keeps the current step. Returns false when memory ran out (nothing changed then).
  bool SetSize(int newSize, int growBy = -1);
  void SetAtGrow(int index, BYTE value);
  int Add(BYTE value);
  void RemoveAll() { SetSize(0, -1); }
  BYTE& operator[](int index) { return m_pData[index]; }
  BYTE operator[](int index) const { return m_pData[index]; }

private:
  BYTE* m_pData;
  int m_nSize;
  int m_nMaxSize;
  int m_nGrowBy;
};

// Array of T passed as ARG_TYPE. Header-only, instantiated in the plug-in.
// New elements are value-initialised: zeros for numbers, default-constructed objects otherwise.
template <class TYPE, class ARG_TYPE>
class CArray {
public:
  CArray() : m_pData(nullptr), m_nSize(0), m_nMaxSize(0), m_nGrowBy(0) {}
  CArray(const CArray& other) : CArray() { Copy(other); }
  CArray(CArray&& other) noexcept
      : m_pData(other.m_pData), m_nSize(other.m_nSize), m_nMaxSize(other.m_nMaxSize), m_nGrowBy(other.m_nGrowBy) {
    other.m_pData = nullptr;
    other.m_nSize = other.m_nMaxSize = 0;
  }
  CArray& operator=(const CArray& other) {
    if (this != &other) Copy(other);
    return *this;
  }
  ~CArray() { Free(); }

  int GetSize() const { return m_nSize; }
  int GetUpperBound() const { return m_nSize - 1; }
  TYPE* GetData() { return m_pData; }
  const TYPE* GetData() const { return m_pData; }
  TYPE& operator[](int index) { return m_pData[index]; }
  const TYPE& operator[](int index) const { return m_pData[index]; }
  TYPE& ElementAt(int index) { return m_pData[index]; }
  const TYPE& GetAt(int index) const { return m_pData[index]; }
  void SetAt(int index, ARG_TYPE value) { m_pData[index] = value; }

  // growBy -1 keeps the current step. Shrinking destroys the elements beyond the new size.
  void SetSize(int newSize, int growBy = -1) {
    if (growBy >= 0) m_nGrowBy = growBy;
    if (newSize <= 0) {
      Free();
      return;
    }
    if (newSize > m_nMaxSize) Reserve(NextCapacity(newSize));
    // Counted one by one: when a constructor throws, the elements built before it are destroyed with the array.
    for (; m_nSize < newSize; ++m_nSize) new (&m_pData[m_nSize]) TYPE();
    for (int i = newSize; i < m_nSize; ++i) m_pData[i].~TYPE();
    m_nSize = newSize;
  }
  int Add(ARG_TYPE value) {
    int index = m_nSize;
    SetAtGrow(index, value);
    return index;
  }
  void SetAtGrow(int index, ARG_TYPE value) {
    if (index >= m_nSize) {
      TYPE copy(value); // value may live inside this array
      SetSize(index + 1, -1);
      m_pData[index] = std::move(copy);
    } else {
      m_pData[index] = value;
    }
  }
  void RemoveAll() { SetSize(0, -1); }

private:
  int NextCapacity(int needed) const {
    int step = m_nGrowBy;
    if (step <= 0) { // the panel's heuristic: about an eighth of the size, between 4 and 1024
      step = m_nSize / 8;
      step = step < 4 ? 4 : (step > 1024 ? 1024 : step);
    }
    int grown = m_nMaxSize + step;
    return needed > grown ? needed : grown;
  }
  void Reserve(int capacity) {
    TYPE* fresh = static_cast<TYPE*>(::operator new(sizeof(TYPE) * static_cast<size_t>(capacity)));
    for (int i = 0; i < m_nSize; ++i) {
      new (&fresh[i]) TYPE(std::move(m_pData[i]));
      m_pData[i].~TYPE();
    }
    ::operator delete(m_pData);
    m_pData = fresh;
    m_nMaxSize = capacity;
  }
  void Free() {
    for (int i = 0; i < m_nSize; ++i) m_pData[i].~TYPE();
    ::operator delete(m_pData);
    m_pData = nullptr;
    m_nSize = m_nMaxSize = 0;
  }
  void Copy(const CArray& other) {
    SetSize(other.m_nSize, -1);
    for (int i = 0; i < m_nSize; ++i) m_pData[i] = other.m_pData[i];
  }

  TYPE* m_pData;
  int m_nSize;
  int m_nMaxSize;
  int m_nGrowBy;
};

// Array of CString.
class CStringArray : public CArray<CString, const CString&> {};
