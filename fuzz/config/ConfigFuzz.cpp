// Any bytes as a device's stored configuration: InitDevice's archive sequence and the reading of
// parameters and channel table into a fresh context record, then everything freed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "config/DevBas.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > 1u << 24) return 0;
  CDevRow::mfFillPropertyDescription();
  const DWORD rowsBefore = CDevRow::m_dwRowNum;

  auto* archive = new COwnerArchive;
  CDevBas::mfPrepareArchive(*archive, bytes, static_cast<int>(size));
  auto* params = new CArray<int, int>;
  params->SetSize(7);
  auto* tablePtr = new CDevTable;
  CDevBas::mfReadConfiguration(archive, params, tablePtr);

  // What a row can hold is bounded by the bytes there are.
  const CDevTable& table = *tablePtr;
  if (params->GetSize() != 7 || table.m_nRowCount != table.m_arRows.GetSize() ||
      table.m_arRows.GetSize() > (static_cast<int>(size) > 16534 ? static_cast<int>(size) : 16534) / 28)
    std::abort();
  for (int r = 0; r < table.m_arRows.GetSize(); ++r)
    for (int p = 0; p < DEVROW_PROPERTY_COUNT; ++p)
      if (table.m_arRows[r].m_strArPropertyValue[p].GetLength() > static_cast<int>(size)) std::abort();

  delete tablePtr;
  delete params;
  delete archive;
  if (CDevRow::m_dwRowNum != rowsBefore) std::abort(); // every row built was destroyed
  return 0;
}
