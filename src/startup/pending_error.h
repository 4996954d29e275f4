// The user-interface thread's single pending-error state. Procedures that go on after a failed
// step clear it when they start, record each failure they skip, and leave it set when they
// return, so a caller can test it after the call.
#pragma once

#include <string>

namespace kvt::PendingError {

void Clear();
// Records a skipped failure; it replaces any earlier one.
void Raise(const std::string& what);
bool IsPending();
// Description of the last skipped failure; empty when none is pending.
const std::string& What();

}  // namespace kvt::PendingError
