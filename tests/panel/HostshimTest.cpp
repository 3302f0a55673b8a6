// The stand-in panel libraries: what the plug-in relies on.
#include <gtest/gtest.h>

#include <string>

#include "panel/hostshim.h"
#include "panel/hosttools.h"

TEST(CString, EmptyStringsShareTheSentinel) {
  CString a;
  CString b("");
  CString c(nullptr);
  EXPECT_EQ(a.c_str(), _afxPchNil);
  EXPECT_EQ(b.c_str(), _afxPchNil);
  EXPECT_EQ(c.c_str(), _afxPchNil);
  CString d("x");
  d = "";
  EXPECT_EQ(d.c_str(), _afxPchNil);
  EXPECT_EQ(d.GetLength(), 0);
}

TEST(CString, LengthIsStoredAheadOfTheText) {
  CString s("abc");
  const int* header = static_cast<const int*>(static_cast<const void*>(s.c_str())) - 2;
  EXPECT_EQ(header[0], 3);
  CString zeros("a\0b", 3);
  EXPECT_EQ(zeros.GetLength(), 3);
}

TEST(CString, CopyAndAssignmentAreIndependent) {
  CString a("station");
  CString b(a);
  CString c;
  c = a;
  a = "other";
  EXPECT_STREQ(b, "station");
  EXPECT_STREQ(c, "station");
  c = c; // self-assignment keeps the text
  EXPECT_STREQ(c, "station");
  CString longer("a much longer text than before");
  b = longer;
  b = b.Mid(2); // assignment from a text that lives in the target
  EXPECT_STREQ(b, "much longer text than before");
}

TEST(CString, FindMidLeft) {
  CString s("ST=32;CN=2011");
  struct {
    const char* sub;
    int start;
    int expected;
  } finds[] = {{"CN", 0, 6}, {"ST", 1, -1}, {"=", 3, 8}, {"", 0, 0}, {"x", 0, -1}, {"CN", 99, -1}, {"ST", -5, 0}};
  for (auto& f : finds) EXPECT_EQ(s.Find(f.sub, f.start), f.expected) << f.sub << " from " << f.start;
  EXPECT_EQ(s.Find(';'), 5);
  EXPECT_EQ(s.Find(';', 6), -1);
  EXPECT_STREQ(s.Left(2), "ST");
  EXPECT_STREQ(s.Left(100), "ST=32;CN=2011");
  EXPECT_STREQ(s.Left(-1), "");
  EXPECT_STREQ(s.Mid(6), "CN=2011");
  EXPECT_STREQ(s.Mid(6, 2), "CN");
  EXPECT_STREQ(s.Mid(50), "");
  EXPECT_STREQ(s.Mid(-3, 2), "ST");
  EXPECT_STREQ(s.Mid(10, 100), "011");
}

TEST(CString, TrimAndUpper) {
  struct {
    const char* in;
    const char* left;
    const char* right;
  } cases[] = {{"  a b \t", "a b \t", "  a b"}, {"", "", ""}, {"   ", "", ""}, {"x", "x", "x"}};
  for (auto& c : cases) {
    CString l(c.in), r(c.in);
    EXPECT_STREQ(l.TrimLeft(), c.left);
    EXPECT_STREQ(r.TrimRight(), c.right);
  }
  CString z("--5--");
  EXPECT_STREQ(z.TrimLeft('-'), "5--");
  EXPECT_STREQ(z.TrimRight('-'), "5");
  CString u("gEt\xC3\xA9");
  EXPECT_STREQ(u.MakeUpper(), "GET\xC3\xA9"); // bytes above 0x7F stay as they are
}

TEST(CString, FormatAndBuffer) {
  CString s;
  s.Format("ORVA_WRITE(%d=%lf)", 1, 1.5);
  EXPECT_STREQ(s, "ORVA_WRITE(1=1.500000)");
  std::string big(5000, 'x');
  s.Format("%s!", big.c_str());
  EXPECT_EQ(s.GetLength(), 5001);
  char* buffer = s.GetBuffer(10);
  EXPECT_EQ(buffer[0], 'x');
  CString g;
  char* room = g.GetBuffer(8);
  std::strcpy(room, "abc");
  g.ReleaseBuffer();
  EXPECT_STREQ(g, "abc");
  EXPECT_EQ(g.GetLength(), 3);
  s += "y";
  EXPECT_EQ(s.GetLength(), 5002);
}

TEST(CByteArray, GrowthIsZeroFilledAndKeepsLeadingBytes) {
  CByteArray bytes;
  bytes.SetSize(4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(bytes[i], 0);
  bytes[0] = 7;
  bytes[3] = 9;
  bytes.SetSize(3);
  bytes.SetSize(20000, -1);
  EXPECT_EQ(bytes.GetSize(), 20000);
  EXPECT_EQ(bytes[0], 7);
  EXPECT_EQ(bytes[3], 0); // the byte beyond the shrink point reads as zero after regrowth
  for (int i = 3; i < 20000; ++i) ASSERT_EQ(bytes[i], 0) << i;
  bytes.SetAtGrow(20005, 5);
  EXPECT_EQ(bytes.GetSize(), 20006);
  EXPECT_EQ(bytes[20004], 0);
  EXPECT_EQ(bytes[20005], 5);
  bytes.SetSize(0);
  EXPECT_EQ(bytes.GetSize(), 0);
}

namespace {
struct Counted {
  static int alive;
  int value = 0;
  Counted() { ++alive; }
  Counted(const Counted& o) : value(o.value) { ++alive; }
  Counted(Counted&& o) noexcept : value(o.value) { ++alive; }
  Counted& operator=(const Counted&) = default;
  ~Counted() { --alive; }
};
int Counted::alive = 0;
} // namespace

TEST(CArray, NumbersAreZeroAndObjectsAreConstructedAndDestroyed) {
  CArray<double, double> values;
  values.SetSize(5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(values[i], 0.0);
  values[4] = 2.5;
  values.SetSize(3);
  values.SetSize(6);
  EXPECT_EQ(values[4], 0.0);
  {
    CArray<Counted, Counted&> objects;
    objects.SetSize(10);
    objects[9].value = 42;
    EXPECT_EQ(Counted::alive, 10);
    objects.SetSize(1000); // moves the elements
    EXPECT_EQ(Counted::alive, 1000);
    EXPECT_EQ(objects[9].value, 42);
    objects.SetSize(2);
    EXPECT_EQ(Counted::alive, 2);
    CArray<Counted, Counted&> copy(objects);
    EXPECT_EQ(Counted::alive, 4);
  }
  EXPECT_EQ(Counted::alive, 0);
}

TEST(CStringArray, ElementsStartEmpty) {
  CStringArray texts;
  texts.SetSize(3, -1);
  texts[1] = "w01018";
  texts.Add(CString("tail"));
  texts.SetAtGrow(1, texts[3]); // an element of the array itself as the value
  EXPECT_EQ(texts.GetSize(), 4);
  EXPECT_STREQ(texts[0], "");
  EXPECT_STREQ(texts[1], "tail");
  EXPECT_STREQ(texts[3], "tail");
}

TEST(HostTools, TickCountAdvancesAcrossASleep) {
  unsigned before = Orva_GetTickCount();
  Orva_Sleep(20, 0);
  unsigned elapsed = Orva_GetTickCount() - before;
  EXPECT_GE(elapsed, 19u);
  EXPECT_LT(elapsed, 2000u);
}
