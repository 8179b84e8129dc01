#include "clock_state.hpp"

#include <sys/timex.h>

namespace oramet {

bool clock_is_synced(int adjtimex_result, long status) {
    return adjtimex_result >= 0 && adjtimex_result != TIME_ERROR && (status & STA_UNSYNC) == 0;
}

}  // namespace oramet
