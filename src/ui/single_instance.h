// One copy of the program per program file name in the user's session.
#pragma once

namespace brinvale {

// Takes this program file name's place in the session (letter case aside,
// as file names go) and keeps it until the process ends; true when this
// process may continue. A copy that is ending (the one that installed or
// updated this one and started it) hands over by ending: it is waited for
// 500 ms and up to 2.5 s more. No message either way. Call it from the
// thread that lives as long as the process (the place belongs to it).
bool IsSoleInstance();

}  // namespace brinvale
