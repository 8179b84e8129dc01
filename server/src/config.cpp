#include "config.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <sys/socket.h>

#include "banner.hpp"
#include "digits.hpp"

namespace oramet {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool parse_bool(std::string_view value, bool &out) {
    if (value == "on" || value == "yes" || value == "true" || value == "1") return out = true, true;
    if (value == "off" || value == "no" || value == "false" || value == "0") return out = false, true;
    return false;
}

const char *const kSwitches[] = {"maintenance", "require-synced-clock"};

// The store's password lives in a file of its own, never on a command line
// that every local user can read: its first line.
bool read_password(Settings &s, std::string &error) {
    const std::string &path = s.config.offence_store_password_file;
    if (path.empty()) return true;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "offence-store-password-file: cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::getline(in, s.store_password);
    if (!s.store_password.empty() && s.store_password.back() == '\r') s.store_password.pop_back();
    if (s.store_password.empty()) {
        error = "offence-store-password-file: " + path + " starts with an empty line";
        return false;
    }
    return true;
}

}  // namespace

bool apply_setting(Config &cfg, std::string_view key, std::string_view value, std::string &error) {
    auto bad = [&](const char *what) {
        error = std::string(key) + ": " + what + " (got \"" + std::string(value) + "\")";
        return false;
    };
    const unsigned kDay = 24u * 3600u * 1000u;
    if (key == "listen") {
        sockaddr_storage ss;
        socklen_t len;
        std::string e;
        if (!parse_listen_address(value, ss, len, e)) return bad(e.c_str());
        cfg.listen = std::string(value);
    } else if (key == "metrics-listen") {
        sockaddr_storage ss;
        socklen_t len;
        std::string e;
        if (!value.empty() && !parse_listen_address(value, ss, len, e)) return bad(e.c_str());
        cfg.metrics_listen = std::string(value);
    } else if (key == "workers") {
        if (!parse_uint<unsigned>(value, cfg.workers, 0, 256)) return bad("expected 0 (one per core) to 256");
    } else if (key == "max-connections") {
        if (!parse_uint<unsigned>(value, cfg.max_connections, 1, kMaxConnectionsLimit))
            return bad(("expected 1 to " + std::to_string(kMaxConnectionsLimit)).c_str());
    } else if (key == "max-connections-per-address") {
        if (!parse_uint<unsigned>(value, cfg.max_connections_per_address, 0, kMaxConnectionsLimit))
            return bad(("expected 0 (no cap) to " + std::to_string(kMaxConnectionsLimit)).c_str());
    } else if (key == "idle-timeout-ms") {
        if (!parse_uint<unsigned>(value, cfg.idle_timeout_ms, 1, kDay)) return bad("expected milliseconds, 1 or more");
    } else if (key == "read-timeout-ms") {
        if (!parse_uint<unsigned>(value, cfg.read_timeout_ms, 1, kDay)) return bad("expected milliseconds, 1 or more");
    } else if (key == "shutdown-grace-ms") {
        if (!parse_uint<unsigned>(value, cfg.shutdown_grace_ms, 0, kDay)) return bad("expected milliseconds");
    } else if (key == "drain-ms") {
        if (!parse_uint<unsigned>(value, cfg.drain_ms, 0, kDay)) return bad("expected milliseconds");
    } else if (key == "offence-store") {
        StoreAddress a;
        std::string e;
        if (!value.empty() && !parse_store_address(value, a, e)) return bad(e.c_str());
        cfg.offence_store = std::string(value);
    } else if (key == "offence-store-password-file") {
        cfg.offence_store_password_file = std::string(value);
    } else if (key == "offence-store-prefix") {
        // One word: it is spliced into key and channel names.
        if (value.find_first_of(" \t") != std::string_view::npos || value.size() > 64)
            return bad("expected at most 64 characters without blanks");
        cfg.offence_store_prefix = std::string(value);
    } else if (key == "max-request-bytes") {
        if (!parse_uint<std::size_t>(value, cfg.max_request_bytes, 64, 65536)) return bad("expected 64 to 65536");
    } else if (key == "maintenance") {
        if (!parse_bool(value, cfg.maintenance)) return bad("expected on or off");
    } else if (key == "require-synced-clock") {
        if (!parse_bool(value, cfg.require_synced_clock)) return bad("expected on or off");
    } else if (key == "proxy-protocol-from") {
        std::vector<AddrKey> list;
        std::string e;
        if (!parse_address_list(value, list, e)) return bad(e.c_str());
        cfg.proxy_protocol_from = std::string(value);
    } else if (key == "tls-listen") {
        sockaddr_storage ss;
        socklen_t len;
        std::string e;
        if (!value.empty() && !parse_listen_address(value, ss, len, e, 443)) return bad(e.c_str());
        cfg.tls_listen = std::string(value);
    } else if (key == "tls-certificate") {
        cfg.tls_certificate = std::string(value);
    } else if (key == "tls-key") {
        cfg.tls_key = std::string(value);
    } else if (key == "min-version") {
        if (!value.empty() && !parse_version(value)) return bad("expected a version such as 2.07, or empty");
        cfg.min_version = std::string(value);
    } else if (key == "download-path") {
        cfg.download_path = std::string(value);
    } else if (key == "abuse-limit") {
        if (!parse_uint<unsigned>(value, cfg.abuse_limit, 0, 60000)) return bad("expected 0 (off) to 60000");
    } else if (key == "abuse-table-size") {
        if (!parse_uint<std::size_t>(value, cfg.abuse_table_size, 1, kMaxAbuseTableSize))
            return bad(("expected 1 to " + std::to_string(kMaxAbuseTableSize)).c_str());
    } else if (key == "banner-link") {
        cfg.banner_link = std::string(value);
        cfg.banner_set = true;
    } else if (key == "banner-text") {
        cfg.banner_text = std::string(value);
        cfg.banner_set = true;
    } else {
        error = "unknown setting \"" + std::string(key) + "\"";
        return false;
    }
    return true;
}

bool parse_config_text(Config &cfg, std::string_view text, std::string &error) {
    int line_no = 0;
    while (!text.empty()) {
        ++line_no;
        auto nl = text.find('\n');
        std::string_view line = trim(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (line.empty() || line.front() == '#') continue;
        auto eq = line.find('=');
        if (eq == std::string_view::npos) {
            error = "line " + std::to_string(line_no) + ": expected key = value";
            return false;
        }
        std::string e;
        if (!apply_setting(cfg, trim(line.substr(0, eq)), trim(line.substr(eq + 1)), e)) {
            error = "line " + std::to_string(line_no) + ": " + e;
            return false;
        }
    }
    return true;
}

ArgsResult parse_args(Config &cfg, const std::vector<std::string> &args, std::string &error) {
    struct Opt {
        std::string key, value;
    };
    std::vector<Opt> opts;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view a = args[i];
        if (a == "-h" || a == "--help") return ArgsResult::Help;
        if (a.substr(0, 2) != "--" || a.size() == 2) {
            error = "unexpected argument \"" + std::string(a) + "\"";
            return ArgsResult::Error;
        }
        a.remove_prefix(2);
        Opt o;
        if (auto eq = a.find('='); eq != std::string_view::npos) {
            o.key = std::string(a.substr(0, eq));
            o.value = std::string(a.substr(eq + 1));
        } else {
            o.key = std::string(a);
            bool is_switch = std::find(std::begin(kSwitches), std::end(kSwitches), o.key) != std::end(kSwitches);
            if (is_switch) {
                o.value = "on";
            } else if (i + 1 < args.size()) {
                o.value = args[++i];
            } else {
                error = "--" + o.key + " needs a value";
                return ArgsResult::Error;
            }
        }
        opts.push_back(std::move(o));
    }
    for (auto &o : opts) {
        if (o.key != "config") continue;
        std::ifstream in(o.value, std::ios::binary);
        if (!in) {
            error = "cannot read config file " + o.value + ": " + std::strerror(errno);
            return ArgsResult::Error;
        }
        std::stringstream ss;
        ss << in.rdbuf();
        std::string e;
        if (!parse_config_text(cfg, ss.str(), e)) {
            error = o.value + ": " + e;
            return ArgsResult::Error;
        }
        cfg.config_file = o.value;
    }
    for (auto &o : opts) {
        if (o.key == "config") continue;
        if (!apply_setting(cfg, o.key, o.value, error)) {
            error = "--" + error;
            return ArgsResult::Error;
        }
    }
    return ArgsResult::Ok;
}

bool validate_config(const Config &cfg, std::optional<Version> &minimum, std::string &error) {
    minimum.reset();
    if (!cfg.min_version.empty()) {
        minimum = parse_version(cfg.min_version);
        if (!minimum) {
            error = "min-version: not a version";
            return false;
        }
        if (cfg.download_path.empty()) {
            error = "min-version is set but download-path is empty";
            return false;
        }
    }
    // The upgrade reply travels as raw bytes; keep it to printable ASCII so
    // it cannot break the reply or the client's display.
    for (unsigned char c : cfg.download_path) {
        if (c < 0x20 || c >= 0x7f) {
            error = "download-path must be printable ASCII";
            return false;
        }
    }
    if (cfg.download_path.size() > 512) {
        error = "download-path is longer than 512 bytes";
        return false;
    }
    // Scrapes must never take a client's slot, nor clients reach the
    // metrics; and each listener needs an address of its own.
    auto same = [](const std::string &x, std::uint16_t x_port, const std::string &y, std::uint16_t y_port) {
        sockaddr_storage a, b;
        socklen_t alen = 0, blen = 0;
        std::string e;
        return !x.empty() && !y.empty() && parse_listen_address(x, a, alen, e, x_port) &&
               parse_listen_address(y, b, blen, e, y_port) && alen == blen && std::memcmp(&a, &b, alen) == 0;
    };
    if (same(cfg.listen, 80, cfg.metrics_listen, 80)) {
        error = "metrics-listen must differ from listen";
        return false;
    }
    if (same(cfg.tls_listen, 443, cfg.listen, 80) || same(cfg.tls_listen, 443, cfg.metrics_listen, 80)) {
        error = "tls-listen must differ from listen and metrics-listen";
        return false;
    }
    if (tls_on(cfg) && (cfg.tls_certificate.empty() || cfg.tls_key.empty())) {
        error = "tls-listen needs tls-certificate and tls-key";
        return false;
    }
    return true;
}

ArgsResult load_settings(const std::vector<std::string> &args, Settings &out, std::string &error) {
    Settings s;
    ArgsResult r = parse_args(s.config, args, error);
    if (r != ArgsResult::Ok) return r;
    if (!validate_config(s.config, s.minimum, error)) return ArgsResult::Error;
    if (s.config.banner_set && !build_banner(s.config.banner_link, s.config.banner_text, s.banner, error))
        return ArgsResult::Error;
    if (!parse_address_list(s.config.proxy_protocol_from, s.proxies, error)) return ArgsResult::Error;
    if (!s.config.offence_store.empty() &&
        (!parse_store_address(s.config.offence_store, s.store, error) || !read_password(s, error)))
        return ArgsResult::Error;
    out = std::move(s);
    return ArgsResult::Ok;
}

const char *usage_text() {
    return "usage: oramet-timed [--check-config] [--config FILE] [--OPTION VALUE]...\n"
           "\n"
           "Answers the Oramet client's time and banner requests over HTTP/1.1.\n"
           "Every option can also be given as \"option = value\" in the config file;\n"
           "the command line wins.\n"
           "\n"
           "  --listen ADDR[:PORT]       address to listen on (default 127.0.0.1:80;\n"
           "                             IPv6 as [::]:80)\n"
           "  --metrics-listen ADDR[:PORT]\n"
           "                             serve GET /metrics (Prometheus), /ready and\n"
           "                             /live here; keep it on loopback or a private\n"
           "                             network (default off)\n"
           "  --workers N                event-loop threads, 0 = one per core (default 0)\n"
           "  --max-connections N        open connections at most, over all workers (1024;\n"
           "                             at most 64000)\n"
           "  --max-connections-per-address N\n"
           "                             open connections per client address, IPv6 per\n"
           "                             /64 (16; 0 = no cap)\n"
           "  --idle-timeout-ms MS       close connections that send nothing (2000)\n"
           "  --read-timeout-ms MS       whole request must arrive within this (10000)\n"
           "  --max-request-bytes N      longest accepted request head (2048)\n"
           "  --shutdown-grace-ms MS     time open requests get on SIGTERM/SIGINT (3000)\n"
           "  --maintenance              answer \"~\" to every time request\n"
           "  --require-synced-clock     answer \"~\" while the kernel reports the clock\n"
           "                             unsynchronised (default off)\n"
           "  --min-version V            clients reporting a lower v= get \"#\"+download path\n"
           "  --download-path TEXT       the text after \"#\" (printable ASCII)\n"
           "  --abuse-limit N            offences per client address within 24 hours\n"
           "                             before it is blocked (0 = off, default)\n"
           "  --abuse-table-size N       addresses remembered at most (65536; at most\n"
           "                             400000)\n"
           "  --offence-store redis://HOST[:PORT][/DB]\n"
           "                             share the offence table with the fleet through\n"
           "                             Redis or Valkey (default off: this host's alone)\n"
           "  --offence-store-password-file FILE\n"
           "                             the store's password, the file's first line\n"
           "  --offence-store-prefix TEXT\n"
           "                             prefix of the store's keys (oramet-timed:)\n"
           "  --drain-ms MS              after SIGTERM, keep serving this long while\n"
           "                             /ready answers 503 (default 0)\n"
           "  --proxy-protocol-from LIST addresses of load balancers that start each\n"
           "                             connection with a PROXY line (default none)\n"
           "  --tls-listen ADDR[:PORT]   also serve over TLS (1.2 and 1.3) here; port 443\n"
           "                             by default (default off)\n"
           "  --tls-certificate FILE     PEM: the server's certificate, then the\n"
           "                             intermediate certificates of its chain\n"
           "  --tls-key FILE             PEM: the certificate's private key\n"
           "  --banner-link TEXT         banner link (UTF-8)\n"
           "  --banner-text TEXT         banner text (UTF-8), sent in code page 936\n"
           "  --config FILE              read settings from FILE first\n"
           "  --check-config             read and check the settings as a start would,\n"
           "                             bind nothing, print \"configuration ok\" or the\n"
           "                             error; exit status 0 or 1\n"
           "  -h, --help                 this text\n"
           "\n"
           "SIGHUP rereads the config file and applies it without dropping connections\n"
           "or the offence table, and reads the TLS certificate and key again (a pair\n"
           "that does not load keeps the old one); listen, tls-listen, metrics-listen,\n"
           "workers and the offence-store options change only at a restart.\n";
}

}  // namespace oramet
