// The event-loop side of oramet-timed: listening sockets, workers, handlers.
#pragma once

#include <optional>
#include <string>

#include "logic.hpp"

namespace oramet {

struct ServerState {
    Config config;
    std::optional<Version> minimum;
    std::string banner;  // code page 936, ready to send
};

// Binds, starts the workers, serves until SIGTERM or SIGINT, then lets open
// requests finish (up to shutdown_grace_ms) and returns the exit status.
int run_server(const ServerState &state);

}  // namespace oramet
