// Whether the kernel considers the system clock synchronised.
#pragma once

namespace oramet {

// Whether the kernel considers the system clock synchronised, from what
// adjtimex(2) returned (its clock state, or -1 when the call failed) and the
// status bits it filled in.
bool clock_is_synced(int adjtimex_result, long status);

}  // namespace oramet
