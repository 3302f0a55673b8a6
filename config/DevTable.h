// The channel table of a device's configuration: rows of seven fixed properties.
#pragma once

#include <atomic>

#include "OwnerArchive.h"
#include "panel/hostshim.h"

// Property names as the panel's configuration editor shows them (UTF-8).
constexpr char DEVROW_STR_GROUP[] = "组号";
constexpr char DEVROW_STR_ST[] = "系统编码ST";
constexpr char DEVROW_STR_POLLFACT[] = "污染物因子";
constexpr char DEVROW_STR_POLLFACT_NAME[] = "污染物因子名称";
constexpr char DEVROW_STR_DATATYPE[] = "通道数据类型";
constexpr char DEVROW_STR_POLLFACT_DATATYPE[] = "污染物因子数据类型";
constexpr char DEVROW_STR_RW[] = "读写类型";
static_assert(sizeof(DEVROW_STR_GROUP) == 7, "property names are UTF-8");

// Property indices, in stored order.
enum DEVROW_PROPERTY {
  DEVROW_GROUP = 0,
  DEVROW_ST = 1,
  DEVROW_POLLFACT = 2,
  DEVROW_POLLFACT_NAME = 3,
  DEVROW_DATATYPE = 4,
  DEVROW_POLLFACT_DATATYPE = 5,
  DEVROW_RW = 6,
  DEVROW_PROPERTY_COUNT = 7
};

// Storage types of a property.
constexpr DWORD DEVROW_TYPE_NUMBER = 1; // 32-bit value
constexpr DWORD DEVROW_TYPE_TEXT = 2;   // 32-bit byte length, then the bytes

extern const CString DEVROW_STR_PROPERTYNAME[DEVROW_PROPERTY_COUNT];
extern const DWORD DEVROW_DWORD_PROPERTYTYPE[DEVROW_PROPERTY_COUNT];
extern const DWORD DEVROW_DWORD_PROPERTYTAXIS[DEVROW_PROPERTY_COUNT];

class CDevRow : public COwnerObject {
public:
  CDevRow();
  CDevRow(const CDevRow& other);
  CDevRow(CDevRow&& other) noexcept;
  CDevRow& operator=(const CDevRow& other);
  ~CDevRow() override;

  // Store: writes the row. Load: reads it when the archive's version is 20000 or below.
  void Serialize(COwnerArchive& archive) override;
  // ("Form", not "From": the name the row interface has always had.) Reads the row; a text length
  // that is negative or runs past the data empties that text and abandons the rest of the archive,
  // so every later field keeps its preset.
  void DeserializeFormOld(COwnerArchive& archive);

  // Refills the class-wide property description from the constant tables; idempotent. Safe on
  // several threads at once, and beside readers once a first call has filled it.
  static void mfFillPropertyDescription();
  // Properties a row reads or writes: the description's count, limited to the tables actually filled.
  static int mfPropertyCount();
  // The fewest bytes a stored row can take (4 per property); never below 4.
  static int mfMinRowBytes();

  CArray<DWORD, DWORD> m_dwArPropertyValue; // number properties; 0 for text properties
  CStringArray m_strArPropertyValue;        // text properties; empty for number properties

  static DWORD m_dwPropertyNum;
  static CArray<DWORD, DWORD> m_dwArPropertyType;
  static CArray<DWORD, DWORD> m_dwArPropertyTaxis;
  static CStringArray m_strArPropertyName;
  // Rows alive: every constructor counts up, the destructor down (two devices' rows may be built at once).
  static std::atomic<DWORD> m_dwRowNum;

private:
  void mfSizeValues();
};

class CDevTable : public COwnerObject {
public:
  CDevTable();
  ~CDevTable() override;
  CDevTable(const CDevTable&) = delete;
  CDevTable& operator=(const CDevTable&) = delete;

  // Store: writes the row count and the rows. Load: reads the count (negative reads as 0, and no
  // more rows than the remaining bytes can hold), resizes the rows, then reads each row.
  void Serialize(COwnerArchive& archive) override;

  int m_nRowCount;
  CArray<CDevRow, CDevRow&> m_arRows;
};
