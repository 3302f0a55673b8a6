// Any bytes as a device's stored configuration: InitDevice's archive sequence and the reading of
// parameters and channel table into a fresh context record, then everything freed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "DevBas.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > 1u << 24) return 0;
  CDevRow::mfFillPropertyDescription();
  const DWORD rowsBefore = CDevRow::m_dwRowNum;

  ORVA_DATA data{};
  data.pArchive = new COwnerArchive;
  CDevBas::mfPrepareArchive(*data.pArchive, bytes, static_cast<int>(size));
  data.pDevice = new DEVBAS_DATA{};
  data.pDevice->arDevParam.SetSize(7);
  data.pDevice->pDevTable = new CDevTable;
  CDevBas::mfReadConfiguration(data);

  // What a row can hold is bounded by the bytes there are.
  const CDevTable& table = *data.pDevice->pDevTable;
  if (data.pDevice->arDevParam.GetSize() != 7 || table.m_nRowCount != table.m_arRows.GetSize() ||
      table.m_arRows.GetSize() > (static_cast<int>(size) > 16534 ? static_cast<int>(size) : 16534) / 28)
    std::abort();
  for (int r = 0; r < table.m_arRows.GetSize(); ++r)
    for (int p = 0; p < DEVROW_PROPERTY_COUNT; ++p)
      if (table.m_arRows[r].m_strArPropertyValue[p].GetLength() > static_cast<int>(size)) std::abort();

  delete data.pDevice->pDevTable;
  delete data.pDevice;
  delete data.pArchive;
  if (CDevRow::m_dwRowNum != rowsBefore) std::abort(); // every row built was destroyed
  return 0;
}
