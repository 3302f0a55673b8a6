#include "hostshim.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>

namespace {
// The empty string every CString starts as: a header of zeros followed by one zero byte.
struct NilString {
  CStringData header;
  char text[4];
};
NilString g_nil = {{0, 0}, {0, 0, 0, 0}};
} // namespace

const char* _afxPchNil = g_nil.text; // declared extern "C" in the header

static char* NilPointer() { return g_nil.text; }

CString::CString() : m_pchData(NilPointer()) {}

CString::CString(const CString& other) : m_pchData(NilPointer()) { AssignCopy(other.m_pchData, other.GetLength()); }

CString::CString(const char* text) : m_pchData(NilPointer()) {
  if (text) AssignCopy(text, static_cast<int>(std::strlen(text)));
}

CString::CString(const char* text, int length) : m_pchData(NilPointer()) {
  if (text && length > 0) AssignCopy(text, length);
}

CString::~CString() { Release(); }

void CString::Release() {
  if (m_pchData != NilPointer()) std::free(GetData());
  m_pchData = NilPointer();
}

void CString::AllocBuffer(int length) {
  Release();
  if (length <= 0) return;
  auto* block = static_cast<CStringData*>(std::malloc(sizeof(CStringData) + static_cast<size_t>(length) + 1));
  if (!block) throw std::bad_alloc();
  block->nDataLength = length;
  block->nAllocLength = length;
  block->data()[length] = '\0';
  m_pchData = block->data();
}

void CString::AssignCopy(const char* text, int length) {
  if (length <= 0) {
    Release();
    return;
  }
  if (m_pchData != NilPointer() && GetData()->nAllocLength >= length && (text < m_pchData || text > m_pchData + GetData()->nAllocLength)) {
    std::memcpy(m_pchData, text, static_cast<size_t>(length)); // reuse our own room
    GetData()->nDataLength = length;
    m_pchData[length] = '\0';
    return;
  }
  CString fresh;
  fresh.AllocBuffer(length);
  std::memcpy(fresh.m_pchData, text, static_cast<size_t>(length));
  std::swap(m_pchData, fresh.m_pchData);
}

CString& CString::operator=(const CString& other) {
  if (this != &other) AssignCopy(other.m_pchData, other.GetLength());
  return *this;
}

CString& CString::operator=(const char* text) {
  if (!text) {
    Release();
  } else {
    AssignCopy(text, static_cast<int>(std::strlen(text)));
  }
  return *this;
}

CString& CString::operator+=(const CString& other) {
  CString joined;
  int length = GetLength() + other.GetLength();
  if (length == 0) return *this;
  joined.AllocBuffer(length);
  std::memcpy(joined.m_pchData, m_pchData, static_cast<size_t>(GetLength()));
  std::memcpy(joined.m_pchData + GetLength(), other.m_pchData, static_cast<size_t>(other.GetLength()));
  std::swap(m_pchData, joined.m_pchData);
  return *this;
}

CString& CString::operator+=(const char* text) { return *this += CString(text); }

CString& CString::operator+=(char ch) { return *this += CString(&ch, 1); }

int CString::Find(char ch, int start) const {
  if (start < 0) start = 0;
  if (start >= GetLength()) return -1;
  const void* hit = std::memchr(m_pchData + start, static_cast<unsigned char>(ch), static_cast<size_t>(GetLength() - start));
  return hit ? static_cast<int>(static_cast<const char*>(hit) - m_pchData) : -1;
}

int CString::Find(const char* sub, int start) const {
  if (!sub) return -1;
  if (start < 0) start = 0;
  if (start > GetLength()) return -1;
  const char* hit = std::strstr(m_pchData + start, sub);
  return hit ? static_cast<int>(hit - m_pchData) : -1;
}

void CString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length <= 0) {
    va_end(again);
    Release();
    return;
  }
  CString fresh;
  fresh.AllocBuffer(length);
  std::vsnprintf(fresh.m_pchData, static_cast<size_t>(length) + 1, format, again);
  va_end(again);
  std::swap(m_pchData, fresh.m_pchData);
}

char* CString::GetBuffer(int minLength) {
  int keep = GetLength();
  if (minLength < keep) minLength = keep;
  if (minLength <= 0) return m_pchData; // the sentinel: room for its zero byte only
  if (m_pchData == NilPointer() || GetData()->nAllocLength < minLength) {
    CString fresh;
    fresh.AllocBuffer(minLength);
    std::memcpy(fresh.m_pchData, m_pchData, static_cast<size_t>(keep));
    fresh.m_pchData[keep] = '\0';
    fresh.GetData()->nDataLength = keep;
    std::swap(m_pchData, fresh.m_pchData);
  }
  return m_pchData;
}

void CString::ReleaseBuffer(int newLength) {
  if (m_pchData == NilPointer()) return;
  int room = GetData()->nAllocLength;
  if (newLength < 0) newLength = static_cast<int>(strnlen(m_pchData, static_cast<size_t>(room)));
  if (newLength > room) newLength = room;
  GetData()->nDataLength = newLength;
  m_pchData[newLength] = '\0';
  if (newLength == 0) Release();
}

CString CString::Left(int count) const {
  if (count <= 0) return CString();
  if (count > GetLength()) count = GetLength();
  return CString(m_pchData, count);
}

CString CString::Mid(int first) const { return Mid(first, GetLength()); }

CString CString::Mid(int first, int count) const {
  if (first < 0) first = 0;
  if (first >= GetLength() || count <= 0) return CString();
  if (count > GetLength() - first) count = GetLength() - first;
  return CString(m_pchData + first, count);
}

CString& CString::MakeUpper() {
  for (int i = 0; i < GetLength(); ++i) {
    unsigned char c = static_cast<unsigned char>(m_pchData[i]);
    if (c >= 'a' && c <= 'z') m_pchData[i] = static_cast<char>(c - 'a' + 'A');
  }
  return *this;
}

static bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

CString& CString::TrimLeft() {
  int skip = 0;
  while (skip < GetLength() && IsSpace(m_pchData[skip])) ++skip;
  if (skip > 0) *this = Mid(skip);
  return *this;
}

CString& CString::TrimRight() {
  int keep = GetLength();
  while (keep > 0 && IsSpace(m_pchData[keep - 1])) --keep;
  if (keep < GetLength()) *this = Left(keep);
  return *this;
}

CString& CString::TrimLeft(char ch) {
  int skip = 0;
  while (skip < GetLength() && m_pchData[skip] == ch) ++skip;
  if (skip > 0) *this = Mid(skip);
  return *this;
}

CString& CString::TrimRight(char ch) {
  int keep = GetLength();
  while (keep > 0 && m_pchData[keep - 1] == ch) --keep;
  if (keep < GetLength()) *this = Left(keep);
  return *this;
}

void CString::Empty() { Release(); }

// ---- CByteArray

CByteArray::CByteArray() : m_pData(nullptr), m_nSize(0), m_nMaxSize(0), m_nGrowBy(0) {}

CByteArray::~CByteArray() { std::free(m_pData); }

bool CByteArray::SetSize(int newSize, int growBy) {
  if (growBy >= 0) m_nGrowBy = growBy;
  if (newSize <= 0) {
    std::free(m_pData);
    m_pData = nullptr;
    m_nSize = m_nMaxSize = 0;
    return true;
  }
  if (newSize > m_nMaxSize) {
    int step = m_nGrowBy;
    if (step <= 0) {
      step = m_nSize / 8;
      step = step < 4 ? 4 : (step > 1024 ? 1024 : step);
    }
    int capacity = newSize > m_nMaxSize + step ? newSize : m_nMaxSize + step;
    BYTE* fresh = static_cast<BYTE*>(std::realloc(m_pData, static_cast<size_t>(capacity)));
    if (!fresh) return false;
    m_pData = fresh;
    m_nMaxSize = capacity;
  }
  if (newSize > m_nSize) std::memset(m_pData + m_nSize, 0, static_cast<size_t>(newSize - m_nSize));
  m_nSize = newSize;
  return true;
}

void CByteArray::SetAtGrow(int index, BYTE value) {
  if (index < 0) return;
  if (index >= m_nSize && !SetSize(index + 1, -1)) throw std::bad_alloc();
  m_pData[index] = value;
}

int CByteArray::Add(BYTE value) {
  int index = m_nSize;
  SetAtGrow(index, value);
  return index;
}
