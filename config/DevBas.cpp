#include "DevBas.h"

int CDevBas::mfDeserializeFromOld(ORVA_DATA& data) {
  COwnerArchive* archive = data.pArchive;
  DEVBAS_DATA* device = data.pDevice;
  if (!archive || !device) return 0;

  int32_t count = 0;
  archive->SvrReadInt32(count);
  CArray<int, int>& params = device->arDevParam;
  // Every stored value is consumed to stay aligned with the row count; the loop ends at the
  // first read past the data, so a huge count costs no more than the bytes there are.
  for (int32_t i = 0; i < count; ++i) {
    int32_t value = 0;
    if (!archive->SvrReadInt32(value)) break;
    if (i < params.GetSize()) params[i] = value;
  }
  archive->SvrChangeMode(COwnerArchive::ARCHIVE_LOAD);
  if (device->pDevTable) static_cast<COwnerObject*>(device->pDevTable)->Serialize(*archive);
  return 0;
}

int CDevBas::mfPrepareArchive(COwnerArchive& archive, const unsigned char* bytes, int length) {
  archive.SvrWrite(bytes, length);
  archive.m_nPosition = 0;
  archive.SvrChangeMode(COwnerArchive::ARCHIVE_LOAD);
  return archive.m_arBuffer.GetSize() > 0 ? 1 : 0;
}

int CDevBas::mfReadConfiguration(ORVA_DATA& data) {
  COwnerArchive* archive = data.pArchive;
  if (!archive || archive->m_arBuffer.GetSize() == 0) return 0;
  archive->SvrChangeMode(COwnerArchive::ARCHIVE_LOAD);
  if (archive->GetNowVersion() <= COwnerArchive::VERSION) mfDeserializeFromOld(data);
  return 1;
}

void CDevBas::mfSerializeToArchive(COwnerArchive& archive, bool versionWord, const int* params, int count, CDevTable& table) {
  if (versionWord) archive.SvrChangeMode(COwnerArchive::ARCHIVE_STORE); // store mode at 0: writes 20000
  if (count < 0 || !params) count = 0;
  archive.SvrWriteInt32(count);
  for (int i = 0; i < count; ++i) archive.SvrWriteInt32(params[i]);
  static_cast<COwnerObject&>(table).Serialize(archive);
}
