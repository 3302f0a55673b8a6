// Reading (and, for the configuration tool, writing) a device's whole configuration:
// the device parameters followed by the channel table.
#pragma once

#include "DevTable.h"
#include "OrvaData.h"
#include "OwnerArchive.h"

class CDevBas {
public:
  // Number of device parameters a device keeps.
  static const int PARAM_COUNT = 7;

  // Reads the parameter count, the parameters and the table from data.pArchive into data.pDevice.
  // Values past the parameter array are consumed and dropped; a negative count reads as 0.
  // Always 0; does nothing without archive, record or table.
  static int mfDeserializeFromOld(ORVA_DATA& data);

  // The configuration's first steps in InitDevice: copies the panel's bytes into a fresh archive
  // verbatim, rewinds it and puts it into load mode. 0 when nothing was stored (negative length).
  static int mfPrepareArchive(COwnerArchive& archive, const unsigned char* bytes, int length);
  // The rest of InitDevice's reading, on data.pArchive prepared as above and data.pDevice created:
  // 0 when the archive holds nothing (no configuration, the device runs without its thread);
  // otherwise reads the configuration unless its version is above 20000, and returns 1.
  static int mfReadConfiguration(ORVA_DATA& data);

  // Store direction, into a fresh archive: the version word (when asked), `count` parameters and the
  // table. The stored bytes are the first m_nPosition bytes of the buffer afterwards.
  static void mfSerializeToArchive(COwnerArchive& archive, bool versionWord, const int* params, int count, CDevTable& table);
};
