// One copy of the program per program file name.
#pragma once

#include <string>

namespace brinvale {

// Running processes whose executable file name begins with name (exactly,
// case included), this one counted; 0 when the list cannot be read.
int CountRunningCopies(const std::wstring& name);

// Waits 500 ms (a copy that is just ending is not counted), then true when
// no other copy of this program file name runs; a copy still there is given
// up to 2.5 s more to end.
bool IsSoleInstance();

}  // namespace brinvale
