// The event-loop side of oramet-timed: listening sockets, workers, handlers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "logic.hpp"

namespace oramet {

// Binds, starts the workers and serves until SIGTERM or SIGINT, then lets
// open requests finish (up to shutdown-grace-ms) and returns the exit
// status. SIGHUP loads the settings again from `args` (the command line,
// which names the config file) and applies them while serving.
int run_server(const std::vector<std::string> &args, std::shared_ptr<const Settings> settings);

}  // namespace oramet
