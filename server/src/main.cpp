// oramet-timed: answers the Oramet client's time and banner requests.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "logic.hpp"
#include "server.hpp"

int main(int argc, char **argv) {
    using namespace oramet;
    std::vector<std::string> args(argv + 1, argv + argc);
    auto check = std::find(args.begin(), args.end(), "--check-config");
    if (check != args.end()) {
        args.erase(check);
        return check_config(args);
    }
    Settings settings;
    std::string error;
    switch (load_settings(args, settings, error)) {
    case ArgsResult::Help:
        std::fputs(usage_text(), stdout);
        return 0;
    case ArgsResult::Error:
        std::fprintf(stderr, "oramet-timed: %s\n(see oramet-timed --help)\n", error.c_str());
        return 2;
    case ArgsResult::Ok:
        break;
    }
    return run_server(args, std::make_shared<const Settings>(std::move(settings)));
}
