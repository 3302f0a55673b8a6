// The byte archive in which the panel stores a device's configuration, and the base class of
// everything that serialises itself into it. Fields are fixed-width little-endian, unaligned.
#pragma once

#include <cstdint>

#include "panel/hostshim.h"

class COwnerArchive {
public:
  enum ARCHIVESTATUS { ARCHIVE_LOAD = 0, ARCHIVE_STORE = 1 };

  // The one format version written; a first word of this or more is taken as a version word.
  static const unsigned VERSION = 20000;
  // Store-mode growth step: 16534 (hexadecimal 4096), not 4096; the padding of a loaded configuration follows it.
  static const int GROW_STEP = 16534;

  // Empty buffer, position 0, store mode; no version word is written.
  COwnerArchive();
  virtual ~COwnerArchive();
  COwnerArchive(const COwnerArchive&) = delete;
  COwnerArchive& operator=(const COwnerArchive&) = delete;

  // SvrWrite, SvrRead and mfCheckBuffer answer 1 (done) or 0 as the framework's archive does.
  // Copies count bytes at the position, growing the buffer; switches to store mode first.
  // 0 (and nothing changed) for a negative count, a null source with a non-zero count, or a size past 2 GiB.
  // Running out of memory throws std::bad_alloc.
  int SvrWrite(const unsigned char* source, int count);
  // Copies count bytes from the position; switches to load mode first. 0 when they are not all
  // there (or count is negative): destination and position stay untouched.
  int SvrRead(unsigned char* destination, int count);
  // Switches mode; a real change restarts at 0 and writes (store) or detects (load) the version word.
  void SvrChangeMode(ARCHIVESTATUS mode);
  // The first 16-bit word of the buffer (0 when shorter than 2 bytes); the position and mode stay as they are.
  unsigned GetNowVersion() const;
  // Load: 1 if count bytes remain at the position. Store: makes room for them, 1.
  int mfCheckBuffer(int count);

  // Little-endian 32-bit field helpers over SvrRead/SvrWrite: true when done; a failed read leaves
  // value untouched.
  bool SvrReadInt32(int32_t& value);
  bool SvrReadDword(DWORD& value);
  bool SvrWriteInt32(int32_t value);
  bool SvrWriteDword(DWORD value);
  // Reads `length` stored bytes as a zero-terminated text: the value ends at the first zero byte,
  // while all `length` bytes are consumed. false (value untouched) when they are not all there.
  bool SvrReadText(CString& value, int length);
  // Load mode: bytes between the position and the end of the buffer.
  int mfRemaining() const;
  // Load mode: gives up the rest of the buffer, so every further read fails and keeps its preset.
  void mfAbandonRest();

private:
  void SvrWriteWord(unsigned value);

public:
  CByteArray m_arBuffer; // size = end of the readable data; grows in store mode
  int m_nPosition;       // next byte to read or write
  ARCHIVESTATUS m_nStatus;
};

// Base of the serialisable configuration objects; the base Serialize does nothing.
class COwnerObject {
public:
  COwnerObject() = default;
  virtual ~COwnerObject();
  virtual void Serialize(COwnerArchive& archive);

protected:
  COwnerObject(const COwnerObject&) = default;
  COwnerObject& operator=(const COwnerObject&) = default;
};
