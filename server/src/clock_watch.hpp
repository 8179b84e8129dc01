// Watches whether the kernel considers the system clock synchronised, so
// that a clock nobody disciplines is never served as the time.
#pragma once

#include <atomic>
#include <optional>

namespace oramet {

class ClockWatch {
public:
    // Reads the kernel's state and logs a change. Called by one thread, at
    // most once a second. With `required` off time requests are served
    // regardless and nothing is logged; the state is still read for the
    // metrics.
    void check(bool required);
    // True while time requests must be answered "~". Any thread.
    bool unsynced() const { return unsynced_.load(std::memory_order_relaxed); }
    // What the kernel said at the last check. Any thread.
    bool synced() const { return synced_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> unsynced_{false};
    std::atomic<bool> synced_{false};
    std::optional<bool> last_;  // what was logged last; nothing while resting
};

}  // namespace oramet
