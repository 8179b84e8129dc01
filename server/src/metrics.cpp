#include "metrics.hpp"

#include <cstdio>

namespace oramet {
namespace {

const char *const kKindNames[kAnswerKinds] = {"time",   "maintenance", "unsynchronised", "blocked",
                                              "upgrade", "banner",     "not_found",      "malformed"};
const char *const kPathNames[kAnswerPaths] = {"direct", "h2o"};
const char *const kRefusalNames[kRefusals] = {"address_cap", "blocked",   "server_full",   "idle_cut",
                                              "read_timeout", "too_large", "unlisted_proxy"};

void head(std::string &out, const char *name, const char *type, const char *help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string &out, const char *name, const std::string &labels, std::uint64_t value) {
    out += name;
    if (!labels.empty()) out += "{" + labels + "}";
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

// Microseconds as decimal seconds, exactly: 2500 is "0.0025".
std::string seconds(std::uint64_t us) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%llu.%06llu", static_cast<unsigned long long>(us / 1000000),
                          static_cast<unsigned long long>(us % 1000000));
    while (n > 0 && buf[n - 1] == '0') --n;
    if (n > 0 && buf[n - 1] == '.') --n;
    return std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace

void WorkerCounters::replied_after(std::uint64_t us) {
    std::size_t i = 0;
    while (i < kLatencyBoundsUs.size() && us > kLatencyBoundsUs[i]) ++i;
    latency[i].add();
    latency_sum_us.add(us);
}

void MetricsSnapshot::add(const WorkerCounters &w) {
    for (std::size_t k = 0; k < kAnswerKinds; ++k)
        for (std::size_t p = 0; p < kAnswerPaths; ++p) answers[k][p] += w.answers[k][p].get();
    accepted += w.accepted.get();
    for (std::size_t r = 0; r < kRefusals; ++r) refused[r] += w.refused[r].get();
    for (std::size_t b = 0; b < kLatencyBuckets; ++b) latency[b] += w.latency[b].get();
    latency_sum_us += w.latency_sum_us.get();
    tls_handshakes += w.tls_handshakes.get();
    tls_handshake_failures += w.tls_handshake_failures.get();
}

std::uint64_t MetricsSnapshot::requests() const {
    std::uint64_t n = 0;
    for (const auto &by_path : answers)
        for (std::uint64_t v : by_path) n += v;
    return n;
}

std::string format_metrics(const MetricsSnapshot &s) {
    std::string out;
    out.reserve(4096);
    head(out, "oramet_timed_requests_total", "counter", "Requests answered, by answer and by path.");
    for (std::size_t k = 0; k < kAnswerKinds; ++k)
        for (std::size_t p = 0; p < kAnswerPaths; ++p)
            sample(out, "oramet_timed_requests_total",
                   std::string("kind=\"") + kKindNames[k] + "\",path=\"" + kPathNames[p] + "\"", s.answers[k][p]);
    head(out, "oramet_timed_connections_accepted_total", "counter", "Connections accepted.");
    sample(out, "oramet_timed_connections_accepted_total", "", s.accepted);
    head(out, "oramet_timed_connections_refused_total", "counter",
         "Connections turned away or cut, by reason; server_full counts the times accepting stopped.");
    for (std::size_t r = 0; r < kRefusals; ++r)
        sample(out, "oramet_timed_connections_refused_total", std::string("reason=\"") + kRefusalNames[r] + "\"",
               s.refused[r]);
    head(out, "oramet_timed_tls_handshakes_total", "counter",
         "TLS handshakes, by result; failed: begun but not completed.");
    sample(out, "oramet_timed_tls_handshakes_total", "result=\"ok\"", s.tls_handshakes);
    sample(out, "oramet_timed_tls_handshakes_total", "result=\"failed\"", s.tls_handshake_failures);
    head(out, "oramet_timed_open_connections", "gauge", "Connections open now.");
    sample(out, "oramet_timed_open_connections", "", s.open_connections);
    head(out, "oramet_timed_offence_table_entries", "gauge", "Addresses the offence table remembers.");
    sample(out, "oramet_timed_offence_table_entries", "", s.offence_entries);
    head(out, "oramet_timed_blocked_addresses", "gauge", "Addresses past the offence limit.");
    sample(out, "oramet_timed_blocked_addresses", "", s.blocked_addresses);
    head(out, "oramet_timed_reloads_total", "counter", "Reloads of the settings, by result.");
    sample(out, "oramet_timed_reloads_total", "result=\"ok\"", s.reloads_ok);
    sample(out, "oramet_timed_reloads_total", "result=\"failed\"", s.reloads_failed);
    head(out, "oramet_timed_clock_synchronised", "gauge", "1 while the kernel reports the clock synchronised.");
    sample(out, "oramet_timed_clock_synchronised", "", s.clock_synced ? 1 : 0);
    if (s.store_configured) {
        head(out, "oramet_timed_offence_store_up", "gauge",
             "1 while the offence store is reachable; 0: deciding on the local table alone.");
        sample(out, "oramet_timed_offence_store_up", "", s.store_up ? 1 : 0);
        head(out, "oramet_timed_offence_store_dropped_total", "counter",
             "Offences not sent to the store because its queue was full.");
        sample(out, "oramet_timed_offence_store_dropped_total", "", s.store_dropped);
        head(out, "oramet_timed_offence_store_blocked_addresses", "gauge",
             "Addresses in this replica's copy of the fleet's blocked set.");
        sample(out, "oramet_timed_offence_store_blocked_addresses", "", s.store_blocked);
    }
    head(out, "oramet_timed_reply_seconds", "histogram", "Time from accept to reply sent.");
    std::uint64_t cumulative = 0;
    for (std::size_t b = 0; b < kLatencyBuckets; ++b) {
        cumulative += s.latency[b];
        std::string le = b < kLatencyBoundsUs.size() ? seconds(kLatencyBoundsUs[b]) : "+Inf";
        sample(out, "oramet_timed_reply_seconds_bucket", "le=\"" + le + "\"", cumulative);
    }
    out += "oramet_timed_reply_seconds_sum " + seconds(s.latency_sum_us) + "\n";
    sample(out, "oramet_timed_reply_seconds_count", "", cumulative);
    return out;
}

}  // namespace oramet
