// Where GB18030 goes by the tables there is no converter to take away: the cases that need it say so.
#include "FakeIconv.h"

namespace fake_iconv {
bool CanTakeConverterAway() { return false; }
void SetConverterMissing(bool) {}
} // namespace fake_iconv
