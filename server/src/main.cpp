// oramet-timed: answers the Oramet client's time and banner requests.
#include <cstdio>
#include <string>
#include <vector>

#include "logic.hpp"
#include "server.hpp"

int main(int argc, char **argv) {
    using namespace oramet;
    ServerState state;
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    switch (parse_args(state.config, args, error)) {
    case ArgsResult::Help:
        std::fputs(usage_text(), stdout);
        return 0;
    case ArgsResult::Error:
        std::fprintf(stderr, "oramet-timed: %s\n(see oramet-timed --help)\n", error.c_str());
        return 2;
    case ArgsResult::Ok:
        break;
    }
    if (!validate_config(state.config, state.minimum, error)) {
        std::fprintf(stderr, "oramet-timed: %s\n", error.c_str());
        return 2;
    }
    if (state.config.banner_set &&
        !build_banner(state.config.banner_link, state.config.banner_text, state.banner, error)) {
        std::fprintf(stderr, "oramet-timed: %s\n", error.c_str());
        return 2;
    }
    return run_server(state);
}
