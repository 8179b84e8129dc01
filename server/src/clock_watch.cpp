#include "clock_watch.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/timex.h>

#include "logic.hpp"

namespace oramet {
namespace {

struct KernelClock {
    int result = -1;  // adjtimex's clock state, or -1
    long status = 0;
    int error = 0;    // errno when result is -1
};

// The seam for the tests: ORAMET_TIMED_CLOCK_STATE_FILE names a file holding
// what adjtimex would return and its status bits ("5 64"), read instead of
// the kernel, so that an unsynchronised clock can be shown on any machine.
KernelClock read_kernel_clock() {
    KernelClock k;
    if (const char *fake = std::getenv("ORAMET_TIMED_CLOCK_STATE_FILE")) {
        FILE *f = std::fopen(fake, "r");
        if (f == nullptr) {
            k.error = errno;
            return k;
        }
        if (std::fscanf(f, "%d %ld", &k.result, &k.status) != 2) {
            k.result = -1;
            k.error = EINVAL;
        }
        std::fclose(f);
        return k;
    }
    struct timex tx;
    std::memset(&tx, 0, sizeof tx);  // modes 0: read only
    k.result = adjtimex(&tx);
    if (k.result < 0) k.error = errno;
    k.status = tx.status;
    return k;
}

}  // namespace

void ClockWatch::check(bool required) {
    KernelClock k = read_kernel_clock();
    bool synced = clock_is_synced(k.result, k.status);
    synced_.store(synced, std::memory_order_relaxed);
    if (!required) {
        unsynced_.store(false, std::memory_order_relaxed);
        last_.reset();
        return;
    }
    unsynced_.store(!synced, std::memory_order_relaxed);
    if (last_ == synced) return;
    last_ = synced;
    if (synced) {
        std::fprintf(stderr, "oramet-timed: the clock is synchronised; serving the time\n");
    } else if (k.result < 0) {
        // ProtectClock= in a unit, or a container's seccomp profile, forbids
        // even the read-only call.
        std::fprintf(stderr,
                     "oramet-timed: cannot read the clock's synchronisation state (adjtimex: %s); "
                     "answering \"~\" to time requests\n",
                     std::strerror(k.error));
    } else {
        std::fprintf(stderr,
                     "oramet-timed: the kernel reports the clock unsynchronised (%s); answering \"~\" "
                     "to time requests until it is synchronised\n",
                     k.result == TIME_ERROR ? "TIME_ERROR" : "STA_UNSYNC");
    }
}

}  // namespace oramet
