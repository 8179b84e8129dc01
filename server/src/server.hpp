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

// --check-config: reads and checks everything a start would (options, the
// config file, the banner, addresses, the descriptor limit) and binds
// nothing. Prints "configuration ok" and returns 0, or the first error and 1.
int check_config(const std::vector<std::string> &args);

}  // namespace oramet
