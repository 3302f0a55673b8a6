#include "DevBas.h"

int CDevBas::mfDeserializeFromOld(COwnerArchive* archive, CArray<int, int>* params, CDevTable* table) {
  if (!archive || !params) return 0;

  int32_t count = 0;
  archive->SvrReadInt32(count);
  // Every stored value is consumed to stay aligned with the row count; the loop ends at the
  // first read past the data, so a huge count costs no more than the bytes there are.
  for (int32_t i = 0; i < count; ++i) {
    int32_t value = 0;
    if (!archive->SvrReadInt32(value)) break;
    if (i < params->GetSize()) (*params)[i] = value;
  }
  archive->SvrChangeMode(COwnerArchive::ARCHIVE_LOAD);
  if (table) static_cast<COwnerObject*>(table)->Serialize(*archive);
  return 0;
}

bool CDevBas::mfPrepareArchive(COwnerArchive& archive, const unsigned char* bytes, int length) {
  archive.SvrWrite(bytes, length);
  archive.m_nPosition = 0;
  archive.SvrChangeMode(COwnerArchive::ARCHIVE_LOAD);
  return archive.m_arBuffer.GetSize() > 0;
}

bool CDevBas::mfReadConfiguration(COwnerArchive* archive, CArray<int, int>* params, CDevTable* table) {
  if (!archive || archive->m_arBuffer.GetSize() == 0) return false;
  archive->SvrChangeMode(COwnerArchive::ARCHIVE_LOAD);
  if (archive->GetNowVersion() <= COwnerArchive::VERSION) mfDeserializeFromOld(archive, params, table);
  return true;
}

void CDevBas::mfSerializeToArchive(COwnerArchive& archive, bool versionWord, const int* params, int count, CDevTable& table) {
  if (versionWord) archive.SvrChangeMode(COwnerArchive::ARCHIVE_STORE); // store mode at 0: writes 20000
  if (count < 0 || !params) count = 0;
  archive.SvrWriteInt32(count);
  for (int i = 0; i < count; ++i) archive.SvrWriteInt32(params[i]);
  static_cast<COwnerObject&>(table).Serialize(archive);
}
