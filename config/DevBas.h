// Reading (and, for the configuration tool, writing) a device's whole configuration:
// the device parameters followed by the channel table.
#pragma once

#include "DevTable.h"
#include "OwnerArchive.h"
#include "panel/hostshim.h"

class CDevBas {
public:
  // Number of device parameters a device keeps.
  static const int PARAM_COUNT = 7;

  // Reads the parameter count, the parameters and the table from `archive` into the device's
  // `params` and `table`, which the caller hands in (the device's record is the driver's). Values
  // past the parameter array are consumed and dropped; a negative count reads as 0. Always 0; does
  // nothing without archive or parameters, and reads no table without one.
  static int mfDeserializeFromOld(COwnerArchive* archive, CArray<int, int>* params, CDevTable* table);

  // The configuration's first steps in InitDevice: copies the panel's bytes into a fresh archive
  // verbatim, rewinds it and puts it into load mode. false when nothing was stored (negative length).
  static bool mfPrepareArchive(COwnerArchive& archive, const unsigned char* bytes, int length);
  // The rest of InitDevice's reading, on `archive` prepared as above, into what it is handed:
  // false when the archive holds nothing (no configuration, the device runs without its thread);
  // otherwise reads the configuration unless its version is above 20000, and returns true.
  static bool mfReadConfiguration(COwnerArchive* archive, CArray<int, int>* params, CDevTable* table);

  // Store direction, into a fresh archive: the version word (when asked), `count` parameters and the
  // table. The stored bytes are the first m_nPosition bytes of the buffer afterwards.
  static void mfSerializeToArchive(COwnerArchive& archive, bool versionWord, const int* params, int count, CDevTable& table);
};
