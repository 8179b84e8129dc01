// Settings: the config file, the command line and what is derived from them.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "address.hpp"
#include "offence_store.hpp"
#include "version.hpp"

namespace oramet {

struct Config {
    std::string listen = "127.0.0.1:80";
    std::string metrics_listen;  // empty: no metrics listener
    unsigned workers = 0;  // 0: one per CPU core
    unsigned max_connections = 1024;
    unsigned max_connections_per_address = 16;  // 0: no cap
    unsigned idle_timeout_ms = 2000;   // connected but nothing sent yet
    unsigned read_timeout_ms = 10000;  // whole request must arrive within this
    unsigned shutdown_grace_ms = 3000;
    unsigned drain_ms = 0;  // after SIGTERM, not ready but still serving
    std::size_t max_request_bytes = 2048;

    bool maintenance = false;
    bool require_synced_clock = false;  // answer "~" while the kernel says unsynchronised
    std::string min_version;    // empty: no minimum
    std::string download_path;  // sent after '#' to clients below the minimum

    unsigned abuse_limit = 0;  // 0: off
    std::size_t abuse_table_size = 65536;
    std::string offence_store;  // empty: the local table alone
    std::string offence_store_password_file;
    std::string offence_store_prefix = "oramet-timed:";

    std::string proxy_protocol_from;  // addresses allowed to send a PROXY line

    std::string tls_listen;       // empty: no TLS listener
    std::string tls_certificate;  // PEM: the certificate, then its chain
    std::string tls_key;          // PEM

    bool banner_set = false;
    std::string banner_link;  // UTF-8
    std::string banner_text;  // UTF-8

    std::string config_file;
};

// Upper bounds of options. max-connections with the server's own
// descriptors stays below the unit's LimitNOFILE=65536 even at 256 workers.
constexpr unsigned kMaxConnectionsLimit = 64000;
// About 160 bytes an address: 400,000 addresses take about 64 MB, which
// leaves most of the unit's MemoryMax=256M to the connections.
constexpr std::size_t kMaxAbuseTableSize = 400000;

// Applies one setting ("maintenance", "on"). Keys are the long option names
// without the leading dashes.
bool apply_setting(Config &cfg, std::string_view key, std::string_view value, std::string &error);

// Reads "key = value" lines; '#' starts a comment line; blank lines ignored.
bool parse_config_text(Config &cfg, std::string_view text, std::string &error);

enum class ArgsResult { Ok, Help, Error };
// Command line: --key=value or --key value; a bare switch (--maintenance)
// means "on". --config FILE is read first, options on the command line win.
ArgsResult parse_args(Config &cfg, const std::vector<std::string> &args, std::string &error);

// Cross-checks the settings; fills `minimum` from min_version.
bool validate_config(const Config &cfg, std::optional<Version> &minimum, std::string &error);

// TLS is on: tls-listen, tls-certificate and tls-key are all set.
inline bool tls_on(const Config &cfg) { return !cfg.tls_listen.empty(); }

// Everything the handlers need, derived from a Config once (at start and
// at each reload) and never changed afterwards.
struct Settings {
    Config config;
    std::optional<Version> minimum;
    std::string banner;            // code page 936, ready to send
    std::vector<AddrKey> proxies;  // exact addresses (IPv4 as IPv4-mapped)
    StoreAddress store;            // when offence_store is set
    std::string store_password;    // read from offence_store_password_file
    // The certificate and key loaded into OpenSSL (see tls.hpp); null
    // without TLS. Connections hold their own reference, so a reload may
    // drop this one while they finish.
    std::shared_ptr<struct ssl_ctx_st> tls;
};

// Command line (and the config file it names) to Settings, cross-checked
// and with the banner converted. `args` excludes the program name.
ArgsResult load_settings(const std::vector<std::string> &args, Settings &out, std::string &error);

const char *usage_text();

}  // namespace oramet
