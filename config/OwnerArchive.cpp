#include "OwnerArchive.h"

#include <climits>
#include <cstring>
#include <new>

COwnerArchive::COwnerArchive() : m_nPosition(0), m_nStatus(ARCHIVE_STORE) {}

COwnerArchive::~COwnerArchive() { m_arBuffer.SetSize(0, -1); }

int COwnerArchive::mfCheckBuffer(int count) {
  if (count < 0 || m_nPosition < 0) return 0;
  const int64_t needed = static_cast<int64_t>(m_nPosition) + count;
  const int size = m_arBuffer.GetSize();
  if (m_nStatus == ARCHIVE_LOAD) return needed <= size ? 1 : 0;
  if (needed <= size) return 1;
  if (needed > INT_MAX) return 0;
  int64_t grown = static_cast<int64_t>(size) + GROW_STEP;
  if (grown > INT_MAX) grown = INT_MAX;
  const int newSize = static_cast<int>(needed > grown ? needed : grown);
  if (!m_arBuffer.SetSize(newSize, -1)) throw std::bad_alloc();
  return 1;
}

int COwnerArchive::SvrWrite(const unsigned char* source, int count) {
  if (count < 0 || (count > 0 && !source)) return 0;
  if (m_nStatus == ARCHIVE_LOAD) SvrChangeMode(ARCHIVE_STORE);
  if (!mfCheckBuffer(count)) return 0;
  if (count > 0) std::memcpy(m_arBuffer.GetData() + m_nPosition, source, static_cast<size_t>(count));
  m_nPosition += count;
  return 1;
}

int COwnerArchive::SvrRead(unsigned char* destination, int count) {
  if (count < 0 || (count > 0 && !destination)) return 0;
  if (m_nStatus == ARCHIVE_STORE) SvrChangeMode(ARCHIVE_LOAD);
  if (!mfCheckBuffer(count)) return 0;
  if (count > 0) std::memcpy(destination, m_arBuffer.GetData() + m_nPosition, static_cast<size_t>(count));
  m_nPosition += count;
  return 1;
}

void COwnerArchive::SvrChangeMode(ARCHIVESTATUS mode) {
  if (mode == m_nStatus) {
    if (m_nPosition != 0) return;
  } else {
    m_nStatus = mode;
    // Cut the growth beyond what was written, or the unread rest after reading.
    if (m_nPosition > 0 && !m_arBuffer.SetSize(m_nPosition, -1)) throw std::bad_alloc();
    m_nPosition = 0;
  }
  if (mode == ARCHIVE_STORE) {
    SvrWriteWord(VERSION);
  } else {
    unsigned char word[2] = {0, 0};
    SvrRead(word, 2);
    if ((word[0] | (word[1] << 8)) < static_cast<int>(VERSION)) m_nPosition = 0; // no version word: data starts at 0
  }
}

void COwnerArchive::SvrWriteWord(unsigned value) {
  const unsigned char word[2] = {static_cast<unsigned char>(value & 0xFF), static_cast<unsigned char>((value >> 8) & 0xFF)};
  SvrWrite(word, 2);
}

unsigned COwnerArchive::GetNowVersion() const {
  // Read in place rather than through SvrRead, which would switch a store-mode archive to load.
  if (m_arBuffer.GetSize() < 2) return 0;
  const BYTE* data = m_arBuffer.GetData();
  return static_cast<unsigned>(data[0]) | (static_cast<unsigned>(data[1]) << 8);
}

bool COwnerArchive::SvrReadDword(DWORD& value) {
  unsigned char bytes[4];
  if (!SvrRead(bytes, 4)) return false;
  value = static_cast<DWORD>(bytes[0]) | (static_cast<DWORD>(bytes[1]) << 8) | (static_cast<DWORD>(bytes[2]) << 16) |
          (static_cast<DWORD>(bytes[3]) << 24);
  return true;
}

bool COwnerArchive::SvrReadInt32(int32_t& value) {
  DWORD raw = 0;
  if (!SvrReadDword(raw)) return false;
  value = static_cast<int32_t>(raw);
  return true;
}

bool COwnerArchive::SvrWriteDword(DWORD value) {
  const unsigned char bytes[4] = {static_cast<unsigned char>(value & 0xFF), static_cast<unsigned char>((value >> 8) & 0xFF),
                                  static_cast<unsigned char>((value >> 16) & 0xFF), static_cast<unsigned char>((value >> 24) & 0xFF)};
  return SvrWrite(bytes, 4) != 0;
}

bool COwnerArchive::SvrWriteInt32(int32_t value) { return SvrWriteDword(static_cast<DWORD>(value)); }

bool COwnerArchive::SvrReadText(CString& value, int length) {
  if (m_nStatus == ARCHIVE_STORE) SvrChangeMode(ARCHIVE_LOAD);
  if (!mfCheckBuffer(length)) return false;
  if (length == 0) {
    value.Empty();
    return true;
  }
  const char* text = reinterpret_cast<const char*>(m_arBuffer.GetData() + m_nPosition);
  value = CString(text, static_cast<int>(strnlen(text, static_cast<size_t>(length))));
  m_nPosition += length;
  return true;
}

int COwnerArchive::mfRemaining() const {
  const int size = m_arBuffer.GetSize();
  if (m_nPosition < 0) return 0;
  return m_nPosition < size ? size - m_nPosition : 0;
}

void COwnerArchive::mfAbandonRest() {
  if (m_nStatus == ARCHIVE_LOAD) m_nPosition = m_arBuffer.GetSize();
}

COwnerObject::~COwnerObject() = default;

void COwnerObject::Serialize(COwnerArchive&) {}
