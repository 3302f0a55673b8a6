#include "DevTable.h"

#include <cstring>
#include <mutex>
#include <utility>

namespace {
// Far beyond the seven properties; keeps a damaged description from sizing rows absurdly.
constexpr DWORD kMostProperties = 64;

int DescribedCount() { return static_cast<int>(CDevRow::m_dwPropertyNum > kMostProperties ? kMostProperties : CDevRow::m_dwPropertyNum); }
} // namespace

const CString DEVROW_STR_PROPERTYNAME[DEVROW_PROPERTY_COUNT] = {CString(DEVROW_STR_GROUP),    CString(DEVROW_STR_ST),
                                                                CString(DEVROW_STR_POLLFACT), CString(DEVROW_STR_POLLFACT_NAME),
                                                                CString(DEVROW_STR_DATATYPE), CString(DEVROW_STR_POLLFACT_DATATYPE),
                                                                CString(DEVROW_STR_RW)};
const DWORD DEVROW_DWORD_PROPERTYTYPE[DEVROW_PROPERTY_COUNT] = {1, 1, 2, 2, 1, 1, 1};
const DWORD DEVROW_DWORD_PROPERTYTAXIS[DEVROW_PROPERTY_COUNT] = {1, 0, 1, 0, 0, 1, 0};

DWORD CDevRow::m_dwPropertyNum = 0;
CArray<DWORD, DWORD> CDevRow::m_dwArPropertyType;
CArray<DWORD, DWORD> CDevRow::m_dwArPropertyTaxis;
CStringArray CDevRow::m_strArPropertyName;
std::atomic<DWORD> CDevRow::m_dwRowNum{0};

void CDevRow::mfFillPropertyDescription() {
  // Written under the lock, and only where it differs: from the first device on, a creation only
  // reads, while another device's InitDevice on another panel thread may read it too.
  static std::mutex filling;
  std::lock_guard<std::mutex> lock(filling);
  if (m_dwPropertyNum != DEVROW_PROPERTY_COUNT) m_dwPropertyNum = DEVROW_PROPERTY_COUNT;
  if (m_strArPropertyName.GetSize() != DEVROW_PROPERTY_COUNT) m_strArPropertyName.SetSize(DEVROW_PROPERTY_COUNT, -1);
  if (m_dwArPropertyType.GetSize() != DEVROW_PROPERTY_COUNT) m_dwArPropertyType.SetSize(DEVROW_PROPERTY_COUNT);
  if (m_dwArPropertyTaxis.GetSize() != DEVROW_PROPERTY_COUNT) m_dwArPropertyTaxis.SetSize(DEVROW_PROPERTY_COUNT);
  for (int i = 0; i < DEVROW_PROPERTY_COUNT; ++i) {
    if (m_strArPropertyName[i] != DEVROW_STR_PROPERTYNAME[i]) m_strArPropertyName[i] = DEVROW_STR_PROPERTYNAME[i];
    if (m_dwArPropertyType[i] != DEVROW_DWORD_PROPERTYTYPE[i]) m_dwArPropertyType[i] = DEVROW_DWORD_PROPERTYTYPE[i];
    if (m_dwArPropertyTaxis[i] != DEVROW_DWORD_PROPERTYTAXIS[i]) m_dwArPropertyTaxis[i] = DEVROW_DWORD_PROPERTYTAXIS[i];
  }
}

int CDevRow::mfPropertyCount() {
  const int described = DescribedCount();
  return described < m_dwArPropertyType.GetSize() ? described : m_dwArPropertyType.GetSize();
}

int CDevRow::mfMinRowBytes() {
  int bytes = 0;
  for (int i = 0; i < mfPropertyCount(); ++i) {
    const DWORD type = m_dwArPropertyType[i];
    if (type == DEVROW_TYPE_NUMBER || type == DEVROW_TYPE_TEXT) bytes += 4;
  }
  return bytes > 4 ? bytes : 4;
}

void CDevRow::mfSizeValues() {
  const int count = DescribedCount();
  m_dwArPropertyValue.SetSize(count);
  m_strArPropertyValue.SetSize(count);
  if (m_dwArPropertyTaxis.GetSize() != count) m_dwArPropertyTaxis.SetSize(count);
}

CDevRow::CDevRow() {
  mfSizeValues();
  ++m_dwRowNum;
}

CDevRow::CDevRow(const CDevRow& other)
    : COwnerObject(other), m_dwArPropertyValue(other.m_dwArPropertyValue), m_strArPropertyValue(other.m_strArPropertyValue) {
  ++m_dwRowNum;
}

// The panel's array moves its elements when it grows: the moved-to row is alive too, and the
// moved-from one is destroyed right after, so the count stays right.
CDevRow::CDevRow(CDevRow&& other) noexcept
    : COwnerObject(other), m_dwArPropertyValue(std::move(other.m_dwArPropertyValue)), m_strArPropertyValue(std::move(other.m_strArPropertyValue)) {
  ++m_dwRowNum;
}

CDevRow& CDevRow::operator=(const CDevRow& other) {
  if (this != &other) {
    m_dwArPropertyValue = other.m_dwArPropertyValue;
    m_strArPropertyValue = other.m_strArPropertyValue;
  }
  return *this;
}

CDevRow::~CDevRow() {
  --m_dwRowNum;
  m_dwArPropertyValue.RemoveAll();
  m_strArPropertyValue.RemoveAll();
}

void CDevRow::Serialize(COwnerArchive& archive) {
  if (archive.m_nStatus == COwnerArchive::ARCHIVE_LOAD) {
    if (archive.GetNowVersion() <= COwnerArchive::VERSION) DeserializeFormOld(archive);
    return;
  }
  const int count = mfPropertyCount();
  for (int i = 0; i < count; ++i) {
    const DWORD type = m_dwArPropertyType[i];
    if (type == DEVROW_TYPE_NUMBER) {
      archive.SvrWriteDword(i < m_dwArPropertyValue.GetSize() ? m_dwArPropertyValue[i] : 0);
    } else if (type == DEVROW_TYPE_TEXT) {
      // The stored length ends at the first zero byte, as the loader reads it back.
      const char* text = i < m_strArPropertyValue.GetSize() ? m_strArPropertyValue[i].c_str() : "";
      const int length = static_cast<int>(std::strlen(text));
      archive.SvrWriteInt32(length);
      archive.SvrWrite(reinterpret_cast<const unsigned char*>(text), length);
    }
  }
}

void CDevRow::DeserializeFormOld(COwnerArchive& archive) {
  int count = mfPropertyCount();
  if (count > m_dwArPropertyValue.GetSize()) count = m_dwArPropertyValue.GetSize();
  if (count > m_strArPropertyValue.GetSize()) count = m_strArPropertyValue.GetSize();
  for (int i = 0; i < count; ++i) {
    const DWORD type = m_dwArPropertyType[i];
    if (type == DEVROW_TYPE_NUMBER) {
      archive.SvrReadDword(m_dwArPropertyValue[i]);
    } else if (type == DEVROW_TYPE_TEXT) {
      int32_t length = 0;
      archive.SvrReadInt32(length);
      if (length < 0 || length > archive.mfRemaining()) {
        // Nothing after a damaged length can be trusted to be aligned: read no further.
        m_strArPropertyValue[i].Empty();
        archive.mfAbandonRest();
      } else {
        archive.SvrReadText(m_strArPropertyValue[i], length);
      }
    }
  }
}

CDevTable::CDevTable() : m_nRowCount(0) {}

CDevTable::~CDevTable() {
  m_nRowCount = 0;
  m_arRows.RemoveAll();
}

void CDevTable::Serialize(COwnerArchive& archive) {
  if (archive.m_nStatus == COwnerArchive::ARCHIVE_STORE) {
    m_nRowCount = m_arRows.GetSize();
    archive.SvrWriteInt32(m_nRowCount);
    for (int i = 0; i < m_arRows.GetSize(); ++i) m_arRows[i].Serialize(archive);
    return;
  }
  if (archive.GetNowVersion() <= COwnerArchive::VERSION) {
    int32_t count = 0;
    if (archive.SvrReadInt32(count)) {
      if (count < 0) count = 0;
      // A hostile count must not build rows out of the zero padding beyond what the bytes could hold.
      const int most = archive.mfRemaining() / CDevRow::mfMinRowBytes();
      m_nRowCount = count > most ? most : count;
    }
    m_arRows.SetSize(m_nRowCount);
  }
  for (int i = 0; i < m_arRows.GetSize(); ++i) m_arRows[i].Serialize(archive);
}
