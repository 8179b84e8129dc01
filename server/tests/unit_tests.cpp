// Unit tests for the pure logic of oramet-timed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <sys/timex.h>

#include <algorithm>
#include <cstring>

#include "logic.hpp"

using namespace oramet;

namespace {

Version V(const char *s) {
    auto v = parse_version(s);
    EXPECT_TRUE(v.has_value()) << s;
    return v.value_or(Version{});
}

struct timespec TS(time_t sec, long nsec) {
    struct timespec ts;
    ts.tv_sec = sec;
    ts.tv_nsec = nsec;
    return ts;
}

AddrKey key4(const char *ip) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &in.sin_addr);
    return make_addr_key(reinterpret_cast<sockaddr *>(&in));
}

AddrKey key6(const char *ip) {
    sockaddr_in6 in{};
    in.sin6_family = AF_INET6;
    inet_pton(AF_INET6, ip, &in.sin6_addr);
    return make_addr_key(reinterpret_cast<sockaddr *>(&in));
}

}  // namespace

TEST(Version, ParsesDecimalNumbers) {
    EXPECT_TRUE(parse_version("2.07"));
    EXPECT_TRUE(parse_version("2"));
    EXPECT_TRUE(parse_version("0.0"));
    EXPECT_TRUE(parse_version("123456789.123456789"));
    for (const char *bad : {"", ".", "2.", ".5", "2.07.1", "a", "2a", "-1", "+2", " 2", "2 ", "1234567890",
                            "1.1234567890", "2,07", "０"})
        EXPECT_FALSE(parse_version(bad)) << bad;
}

TEST(Version, ComparesByValue) {
    EXPECT_TRUE(V("2.07") < V("2.10"));
    EXPECT_TRUE(V("2.07") < V("2.1"));
    EXPECT_TRUE(V("2.1") == V("2.10"));
    EXPECT_TRUE(V("2.10") < V("2.5"));
    EXPECT_TRUE(V("2.99") < V("3"));
    EXPECT_TRUE(V("9.9") < V("10.0"));
    EXPECT_FALSE(V("2.07") < V("2.07"));
    EXPECT_FALSE(V("2.10") < V("2.07"));
    EXPECT_TRUE(V("02.07") == V("2.070"));
}

TEST(Query, FindsParameter) {
    EXPECT_EQ(query_param("v=2.07", "v"), std::optional<std::string_view>("2.07"));
    EXPECT_EQ(query_param("a=1&v=2.07&v=3", "v"), std::optional<std::string_view>("2.07"));
    EXPECT_EQ(query_param("v", "v"), std::optional<std::string_view>(""));
    EXPECT_EQ(query_param("v=", "v"), std::optional<std::string_view>(""));
    EXPECT_FALSE(query_param("", "v"));
    EXPECT_FALSE(query_param("vv=1&xv=2", "v"));
    EXPECT_FALSE(query_param("&&", "v"));
}

TEST(Route, RecognisesEndpoints) {
    EXPECT_EQ(route_request("GET", "/?v=2.07"), Route::Time);
    EXPECT_EQ(route_request("GET", "/?"), Route::Time);
    EXPECT_EQ(route_request("GET", "/?anything"), Route::Time);
    EXPECT_EQ(route_request("GET", "/ad/"), Route::Banner);
    EXPECT_EQ(route_request("GET", "/ad/?x=1"), Route::Banner);
    EXPECT_EQ(route_request("GET", "/"), Route::NotFound);
    EXPECT_EQ(route_request("GET", "/ad"), Route::NotFound);
    EXPECT_EQ(route_request("GET", "/ad/x"), Route::NotFound);
    EXPECT_EQ(route_request("GET", "//?v=2.07"), Route::NotFound);
    EXPECT_EQ(route_request("GET", "/index.html"), Route::NotFound);
    EXPECT_EQ(route_request("POST", "/?v=2.07"), Route::NotFound);
    EXPECT_EQ(route_request("HEAD", "/ad/"), Route::Banner);
    EXPECT_EQ(route_request("HEAD", "/?v=2.07"), Route::Time);
    EXPECT_EQ(route_request("HEAD", "/x"), Route::NotFound);
    EXPECT_EQ(route_request("OPTIONS", "/?v=2.07"), Route::NotFound);
    EXPECT_EQ(route_request("get", "/ad/"), Route::NotFound);
    // Absolute form, routed by its path.
    EXPECT_EQ(route_request("GET", "https://secure.example:443/?v=2.07"), Route::Time);
    EXPECT_EQ(route_request("GET", "HTTP://127.0.0.1/ad/"), Route::Banner);
    EXPECT_EQ(route_request("GET", "http://a/x/?v=2.07"), Route::NotFound);
    EXPECT_EQ(route_request("GET", "http://a?v=/"), Route::NotFound);
    EXPECT_EQ(route_request("GET", "http://"), Route::NotFound);
    EXPECT_EQ(route_request("GET", "ftp://a/?v=2.07"), Route::NotFound);
    EXPECT_EQ(route_request("GET", "http:/?v=2.07"), Route::NotFound);
}

// Only what H2O would answer exactly alike may skip it.
TEST(Route, SimpleRequestsOnly) {
    const std::string client = "GET /?v=2.07 HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Horalin\r\n\r\n";
    struct {
        std::string raw;
        const char *method, *target;  // null: left to H2O
    } cases[] = {
        {client, "GET", "/?v=2.07"},
        {"HEAD /ad/ HTTP/1.1\r\n\r\n", "HEAD", "/ad/"},
        {"GET /x HTTP/1.1\r\nconnection: Keep-Alive\r\nACCEPT:\t*/* \r\n\r\n", "GET", "/x"},
        {client.substr(0, client.size() - 2), nullptr, nullptr},  // not complete
        {client + "GET", nullptr, nullptr},                       // something after it
        {"GET /?v=2.07 HTTP/1.0\r\n\r\n", nullptr, nullptr},
        {"GET /?v=2.07 HTTP/1.1 \r\n\r\n", nullptr, nullptr},
        {"GET  /?v=2.07 HTTP/1.1\r\n\r\n", nullptr, nullptr},
        {"GET http://a/?v=2.07 HTTP/1.1\r\n\r\n", nullptr, nullptr},
        {"GET /?v=\x80 HTTP/1.1\r\n\r\n", nullptr, nullptr},
        {"POST /?v=2.07 HTTP/1.1\r\n\r\n", nullptr, nullptr},
        {"get /?v=2.07 HTTP/1.1\r\n\r\n", nullptr, nullptr},
        {"GET /?v=2.07 HTTP/1.1\r\nContent-Length: 0\r\n\r\n", nullptr, nullptr},
        {"GET /?v=2.07 HTTP/1.1\r\nConnection: Upgrade\r\n\r\n", nullptr, nullptr},
        {"GET /?v=2.07 HTTP/1.1\r\nHost : a\r\n\r\n", nullptr, nullptr},
        {"GET /?v=2.07 HTTP/1.1\r\nHost\r\n\r\n", nullptr, nullptr},
        {"GET /?v=2.07 HTTP/1.1\r\nHost: a\rb\r\n\r\n", nullptr, nullptr},
        {"GET /?v=2.07 HTTP/1.1\r\n\tHost: a\r\n\r\n", nullptr, nullptr},
        {"GET /?v=2.07 HTTP/1.1\n\n", nullptr, nullptr},
    };
    for (const auto &c : cases) {
        SimpleRequest r;
        bool simple = parse_simple_request(c.raw, r);
        EXPECT_EQ(simple, c.method != nullptr) << c.raw;
        if (simple && c.method != nullptr) EXPECT_EQ(std::string(r.method) + " " + std::string(r.target), std::string(c.method) + " " + c.target);
    }
    char date[32], head[kMaxReplyHead];
    std::string d(date, format_http_date(1733550000, date));
    EXPECT_EQ(d, "Sat, 07 Dec 2024 05:40:00 GMT");
    EXPECT_EQ(std::string(head, format_reply_head(head, 404, "Not Found", d, 9, false)),
              "HTTP/1.1 404 Not Found\r\nDate: Sat, 07 Dec 2024 05:40:00 GMT\r\nConnection: close\r\n"
              "Content-Length: 9\r\nServer: oramet-timed\r\n\r\n");
}

TEST(TimeQueryTest, WithoutMinimumNobodyUpgrades) {
    auto r = classify_time_query("v=2.07", std::nullopt);
    EXPECT_FALSE(r.malformed);
    EXPECT_FALSE(r.needs_upgrade);
    r = classify_time_query("", std::nullopt);
    EXPECT_TRUE(r.malformed);
    EXPECT_FALSE(r.needs_upgrade);
    r = classify_time_query("v=abc", std::nullopt);
    EXPECT_TRUE(r.malformed);
    EXPECT_FALSE(r.needs_upgrade);
}

TEST(TimeQueryTest, MinimumVersion) {
    auto min = parse_version("2.10");
    EXPECT_TRUE(classify_time_query("v=2.07", min).needs_upgrade);
    EXPECT_TRUE(classify_time_query("v=1.99", min).needs_upgrade);
    EXPECT_FALSE(classify_time_query("v=2.10", min).needs_upgrade);
    EXPECT_FALSE(classify_time_query("v=2.1", min).needs_upgrade);
    EXPECT_FALSE(classify_time_query("v=2.11", min).needs_upgrade);
    EXPECT_FALSE(classify_time_query("v=3", min).needs_upgrade);
    EXPECT_FALSE(classify_time_query("x=1&v=2.5", min).needs_upgrade);
    // Missing or malformed versions count as the oldest.
    auto r = classify_time_query("", min);
    EXPECT_TRUE(r.malformed);
    EXPECT_TRUE(r.needs_upgrade);
    EXPECT_TRUE(classify_time_query("v=2.10beta", min).needs_upgrade);
}

TEST(TimeBody, ExactFormat) {
    EXPECT_EQ(format_time_body(TS(1733550000, 123000000)), "1733550000123");
    EXPECT_EQ(format_time_body(TS(1733550000, 0)), "1733550000000");
    EXPECT_EQ(format_time_body(TS(1733550000, 5000000)), "1733550000005");
    EXPECT_EQ(format_time_body(TS(1733550000, 99000000)), "1733550000099");
    EXPECT_EQ(format_time_body(TS(0, 0)), "0000");
    EXPECT_EQ(format_time_body(TS(9999999999, 999000000)), "9999999999999");
    EXPECT_EQ(format_time_body(TS(10000000000, 1000000)), "10000000000001");
}

TEST(TimeBody, RoundsToNearestMillisecond) {
    EXPECT_EQ(format_time_body(TS(1733550000, 123499999)), "1733550000123");
    EXPECT_EQ(format_time_body(TS(1733550000, 123500000)), "1733550000124");
    EXPECT_EQ(format_time_body(TS(1733550000, 999499999)), "1733550000999");
    EXPECT_EQ(format_time_body(TS(1733550000, 999500000)), "1733550001000");
    EXPECT_EQ(format_time_body(TS(1733550000, 999999999)), "1733550001000");
}

TEST(TimeBody, LengthMatchesBuffer) {
    char buf[32];
    std::memset(buf, 'x', sizeof buf);
    size_t n = format_time_body(TS(1733550000, 123000000), buf);
    EXPECT_EQ(n, 13u);
    EXPECT_EQ(buf[13], 'x');  // nothing written after the digits
}

TEST(Banner, ConvertsToCodePage936) {
    std::string out, err;
    ASSERT_TRUE(build_banner("http://example.test/", "你好，世界", out, err)) << err;
    EXPECT_EQ(out, std::string("http://example.test/\t\xC4\xE3\xBA\xC3\xA3\xAC\xCA\xC0\xBD\xE7"));
    ASSERT_TRUE(build_banner("", "", out, err)) << err;
    EXPECT_EQ(out, "\t");
    ASSERT_TRUE(build_banner("a", "b c", out, err)) << err;
    EXPECT_EQ(out, "a\tb c");
}

TEST(Banner, RejectsBadInput) {
    std::string out = "unchanged", err;
    EXPECT_FALSE(build_banner("a\tb", "x", out, err));
    EXPECT_FALSE(build_banner("a\nb", "x", out, err));
    EXPECT_FALSE(build_banner("a", std::string_view("x\0y", 3), out, err));
    EXPECT_FALSE(build_banner("a", "\xff\xfe", out, err));          // not UTF-8
    EXPECT_FALSE(build_banner("a", "\xe4\xbd", out, err));          // cut-off UTF-8
    EXPECT_FALSE(build_banner("a", "\xF0\x9F\x98\x80", out, err));  // emoji: not in code page 936
    EXPECT_EQ(out, "unchanged");
    EXPECT_FALSE(err.empty());
}

TEST(Banner, RejectsTooLong) {
    std::string out, err;
    // Each of these characters takes two bytes in code page 936.
    std::string text;
    for (int i = 0; i < 424; ++i) text += "汉";
    ASSERT_TRUE(build_banner("", text, out, err)) << err;
    EXPECT_EQ(out.size(), 849u);
    text += "字";
    EXPECT_FALSE(build_banner("", text, out, err));
    EXPECT_NE(err.find("851"), std::string::npos) << err;
    EXPECT_LE(kMaxBannerBytes + 150, kClientReceiveLimit);
}

TEST(AddrKeys, MapsAddresses) {
    EXPECT_EQ(key4("127.0.0.1"), key6("::ffff:127.0.0.1"));
    EXPECT_NE(key4("127.0.0.1"), key4("127.0.0.2"));
    EXPECT_EQ(key6("2001:db8:1:2:aaaa::1"), key6("2001:db8:1:2:bbbb::2"));  // same /64
    EXPECT_NE(key6("2001:db8:1:2::1"), key6("2001:db8:1:3::1"));
}

TEST(Abuse, CountsAndBlocksAfterLimit) {
    AbuseTable t(100, 3);
    const std::int64_t now = 1733550000;
    auto a = key4("10.0.0.1"), b = key4("10.0.0.2");
    EXPECT_FALSE(t.blocked(a, now));
    EXPECT_EQ(t.record(a, now), 1u);
    EXPECT_EQ(t.record(a, now + 1), 2u);
    EXPECT_EQ(t.record(a, now + 2), 3u);
    EXPECT_FALSE(t.blocked(a, now + 2));  // at the limit, not past it
    EXPECT_EQ(t.record(a, now + 3), 4u);
    EXPECT_TRUE(t.blocked(a, now + 3));
    EXPECT_FALSE(t.blocked(b, now + 3));
    EXPECT_EQ(t.count(b, now), 0u);
}

TEST(Abuse, ForgetsAfterTwentyFourHours) {
    AbuseTable t(100, 2);
    const std::int64_t start = 1733547600;  // the start of an hour
    auto a = key4("10.0.0.1");
    for (int i = 0; i < 3; ++i) t.record(a, start + i);
    EXPECT_TRUE(t.blocked(a, start + 10));
    EXPECT_TRUE(t.blocked(a, start + 23 * 3600 + 3599));
    EXPECT_FALSE(t.blocked(a, start + 24 * 3600));
    EXPECT_EQ(t.count(a, start + 24 * 3600), 0u);
    // Offences spread over time: the window slides hour by hour.
    t.record(a, start + 30 * 3600);
    t.record(a, start + 40 * 3600);
    t.record(a, start + 50 * 3600);
    EXPECT_EQ(t.count(a, start + 50 * 3600), 3u);
    EXPECT_TRUE(t.blocked(a, start + 50 * 3600));
    EXPECT_EQ(t.count(a, start + 54 * 3600), 2u);
    EXPECT_EQ(t.count(a, start + 64 * 3600), 1u);
    EXPECT_EQ(t.count(a, start + 80 * 3600), 0u);
    EXPECT_EQ(t.record(a, start + 200 * 3600), 1u);
}

TEST(Abuse, ClockSteppingBackStillCounts) {
    AbuseTable t(10, 1);
    auto a = key4("10.0.0.1");
    t.record(a, 1733550000);
    EXPECT_EQ(t.record(a, 1733550000 - 7200), 2u);
    EXPECT_TRUE(t.blocked(a, 1733550000));
}

TEST(Abuse, TableSizeIsBounded) {
    AbuseTable t(3, 1);
    const std::int64_t now = 1733550000;
    auto a = key4("10.0.0.1"), b = key4("10.0.0.2"), c = key4("10.0.0.3"), d = key4("10.0.0.4");
    t.record(a, now);
    t.record(a, now);
    t.record(b, now);
    t.record(c, now);
    t.record(a, now);  // a is now the most recent offender
    t.record(d, now);  // evicts b, the least recent
    EXPECT_EQ(t.size(), 3u);
    EXPECT_EQ(t.count(b, now), 0u);
    EXPECT_EQ(t.count(a, now), 3u);
    EXPECT_EQ(t.count(c, now), 1u);
    EXPECT_EQ(t.count(d, now), 1u);
    for (int i = 0; i < 1000; ++i) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(0x0b000000u + static_cast<unsigned>(i));
        t.record(make_addr_key(reinterpret_cast<sockaddr *>(&in)), now);
    }
    EXPECT_EQ(t.size(), 3u);
}

TEST(Abuse, EvictionKeepsBlockedAddresses) {
    AbuseTable t(3, 1);
    const std::int64_t now = 1733547600;
    auto a = key4("10.0.0.1"), b = key6("2001:db8:1:2::1"), c = key4("12.0.0.3"), d = key4("12.0.0.4");
    for (auto k : {a, a, b, b}) t.record(k, now);  // both blocked, and the least recent offenders
    for (unsigned i = 0; i < 1000; ++i) t.record(key4(("11.0.3." + std::to_string(i % 256)).c_str()), now + i);
    EXPECT_EQ(t.size(), 3u);
    EXPECT_TRUE(t.blocked(a, now) && t.blocked(key6("2001:db8:1:2:ffff::9"), now)) << "b, counted per /64";
    t.record(c, now);
    t.record(c, now);
    t.record(d, now);  // all three blocked: a new offender is not remembered...
    EXPECT_EQ(t.count(d, now), 0u);
    EXPECT_TRUE(t.blocked(a, now) && t.blocked(c, now));
    t.record(d, now + 24 * 3600);  // ...until the blocked have served their 24 hours
    EXPECT_EQ(t.count(d, now + 24 * 3600), 1u);
    EXPECT_EQ(t.size(), 3u);
}

TEST(Abuse, ReloadKeepsCountsUnderNewLimits) {
    AbuseTable t(10, 1);
    const std::int64_t now = 1733550000;
    auto a = key4("10.0.0.1"), b = key4("10.0.0.2"), c = key4("10.0.0.3");
    for (auto k : {a, a, a, b, c}) t.record(k, now);
    t.set_limits(10, 5, now);
    EXPECT_FALSE(t.blocked(a, now));
    t.set_limits(2, 2, now);  // shrinking forgets the least recent ordinary address first
    EXPECT_TRUE(t.blocked(a, now));
    EXPECT_EQ(t.count(a, now) * 100 + t.count(b, now) * 10 + t.count(c, now), 301u);
    EXPECT_EQ(t.size(), 2u);
}

TEST(Budget, SharedTotalAndPerAddressCap) {
    ConnectionBudget b(3, 2);
    auto a = key4("10.0.0.1");
    for (auto k : {a, key6("::ffff:10.0.0.1"), key4("10.0.0.2"), key6("2001:db8::1"), key6("2001:db8::2")})
        EXPECT_TRUE(b.take_address(k));
    EXPECT_FALSE(b.take_address(a)) << "third connection of one address";
    EXPECT_FALSE(b.take_address(key6("2001:db8::3"))) << "third of one /64";
    EXPECT_FALSE(b.give_slot(&a)) << "a slot given back with its address";
    EXPECT_TRUE(b.take_address(a));
    auto v6 = key6("2001:db8::1");
    b.give_slot(&v6);
    b.give_slot(&v6);
    EXPECT_EQ(b.addresses(), 2u);

    EXPECT_FALSE(b.give_slot()) << "nobody was refused";
    for (bool expected : {true, true, true, false, false}) EXPECT_EQ(b.take_slot(), expected);
    EXPECT_TRUE(b.give_slot()) << "room again after a refusal";
    EXPECT_FALSE(b.give_slot()) << "reported once";
    for (bool expected : {true, true, false}) EXPECT_EQ(b.take_slot(), expected);
    EXPECT_TRUE(b.set_limits(4, 0)) << "a higher limit makes room";
    EXPECT_EQ(b.open(), 3u);
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(b.take_address(key4("10.0.0.9"))) << "per-address cap 0 is no cap";
}

TEST(Budget, DescriptorsFitTheUnitsLimit) {
    EXPECT_LE(descriptors_needed(kMaxConnectionsLimit, 256), 65536u) << "LimitNOFILE=65536 in the unit";
    EXPECT_GT(descriptors_needed(1000, 2), 1000u + 2 * 3);
}

TEST(ClockState, SynchronisedPerKernel) {
    struct Case {
        int result;
        long status;
        bool synced;
    };
    for (const Case &c : {Case{TIME_OK, 0, true}, Case{TIME_INS, 0, true}, Case{TIME_WAIT, STA_PLL, true},
                          Case{TIME_ERROR, 0, false}, Case{TIME_OK, STA_UNSYNC, false},
                          Case{TIME_ERROR, STA_UNSYNC | STA_PLL, false}, Case{-1, 0, false}}) {
        EXPECT_EQ(clock_is_synced(c.result, c.status), c.synced) << c.result << " " << c.status;
    }
}

TEST(Abuse, LimitZeroNeverBlocks) {
    AbuseTable t(10, 0);
    auto a = key4("10.0.0.1");
    for (int i = 0; i < 100; ++i) t.record(a, 1733550000);
    EXPECT_FALSE(t.blocked(a, 1733550000));
}

TEST(ConfigTest, Defaults) {
    Config c;
    EXPECT_EQ(c.listen, "127.0.0.1:80");
    EXPECT_EQ(c.workers, 0u);
    EXPECT_FALSE(c.maintenance);
    EXPECT_EQ(c.abuse_limit, 0u);
    EXPECT_FALSE(c.banner_set);
    EXPECT_EQ(c.idle_timeout_ms, 2000u);
    EXPECT_EQ(c.max_connections_per_address, 16u);
    EXPECT_FALSE(c.require_synced_clock);
}

TEST(ConfigTest, ParsesFileText) {
    Config c;
    std::string err;
    ASSERT_TRUE(parse_config_text(c,
                                  "# comment\n"
                                  "listen = 127.0.0.201:8080\r\n"
                                  "\n"
                                  "maintenance = on\n"
                                  "min-version=2.10\n"
                                  "download-path = /download/oramet.zip\n"
                                  "abuse-limit = 50\n"
                                  "banner-link = http://example.test/a=b\n"
                                  "banner-text =  你好 world \n"
                                  "workers = 2\n"
                                  "max-connections = 300\n"
                                  "drain-ms = 4000\n"
                                  "offence-store = redis://[::1]:6380/2\n"
                                  "offence-store-prefix = fleet-a:\n",
                                  err))
        << err;
    EXPECT_EQ(c.listen, "127.0.0.201:8080");
    EXPECT_TRUE(c.maintenance);
    EXPECT_EQ(c.min_version, "2.10");
    EXPECT_EQ(c.download_path, "/download/oramet.zip");
    EXPECT_EQ(c.abuse_limit, 50u);
    EXPECT_EQ(c.banner_link, "http://example.test/a=b");
    EXPECT_EQ(c.banner_text, "你好 world");
    EXPECT_TRUE(c.banner_set);
    EXPECT_EQ(c.workers, 2u);
    EXPECT_EQ(c.max_connections, 300u);
    EXPECT_EQ(c.drain_ms, 4000u);
    EXPECT_EQ(c.offence_store, "redis://[::1]:6380/2");
    EXPECT_EQ(c.offence_store_prefix, "fleet-a:");
}

TEST(ConfigTest, RejectsBadFileText) {
    std::string err;
    Config c;
    EXPECT_FALSE(parse_config_text(c, "listen\n", err));
    EXPECT_NE(err.find("line 1"), std::string::npos);
    EXPECT_FALSE(parse_config_text(c, "\n\nnonsense = 1\n", err));
    EXPECT_NE(err.find("line 3"), std::string::npos);
    EXPECT_FALSE(parse_config_text(c, "maintenance = maybe\n", err));
    EXPECT_FALSE(parse_config_text(c, "workers = -1\n", err));
    EXPECT_FALSE(parse_config_text(c, "max-connections = 0\n", err));
    EXPECT_FALSE(parse_config_text(c, "min-version = 2.x\n", err));
    EXPECT_FALSE(parse_config_text(c, "listen = localhost:80\n", err));
    EXPECT_FALSE(parse_config_text(c, "max-request-bytes = 10\n", err));
    EXPECT_FALSE(parse_config_text(c, "max-connections = 64001\n", err));
    EXPECT_FALSE(parse_config_text(c, "abuse-table-size = 400001\n", err));
    EXPECT_FALSE(parse_config_text(c, "proxy-protocol-from = 10.0.0.1, lb.example\n", err));
    EXPECT_NE(err.find("lb.example"), std::string::npos) << err;
    EXPECT_FALSE(parse_config_text(c, "offence-store = 127.0.0.1:6379\n", err));
    EXPECT_FALSE(parse_config_text(c, "offence-store-prefix = two words\n", err));
    EXPECT_FALSE(parse_config_text(c, "drain-ms = soon\n", err));
    ASSERT_TRUE(parse_config_text(c, "max-connections = 64000\nabuse-table-size = 400000\n", err)) << err;
}

TEST(ConfigTest, ProxyAddressList) {
    std::vector<AddrKey> list;
    std::string err;
    ASSERT_TRUE(parse_address_list("10.0.0.1, [2001:db8::1]  2001:db8::2,,", list, err)) << err;
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], key4("10.0.0.1"));
    EXPECT_NE(list[1], list[2]) << "proxies match exactly, not by /64";
}

TEST(ConfigTest, CommandLine) {
    Config c;
    std::string err;
    ASSERT_EQ(parse_args(c, {"--listen", "127.0.0.202:81", "--maintenance", "--abuse-limit=7", "--banner-text", "x",
                             "--require-synced-clock"},
                         err),
              ArgsResult::Ok)
        << err;
    EXPECT_TRUE(c.require_synced_clock);
    EXPECT_EQ(c.listen, "127.0.0.202:81");
    EXPECT_TRUE(c.maintenance);
    EXPECT_EQ(c.abuse_limit, 7u);
    EXPECT_TRUE(c.banner_set);
    Config d;
    EXPECT_EQ(parse_args(d, {"--help"}, err), ArgsResult::Help);
    EXPECT_EQ(parse_args(d, {"--listen"}, err), ArgsResult::Error);
    EXPECT_EQ(parse_args(d, {"listen"}, err), ArgsResult::Error);
    EXPECT_EQ(parse_args(d, {"--bogus", "1"}, err), ArgsResult::Error);
    EXPECT_EQ(parse_args(d, {"--config", "/nonexistent/oramet-timed.conf"}, err), ArgsResult::Error);
    // The store's password only ever comes from a file.
    EXPECT_EQ(parse_args(d, {"--offence-store-password", "secret"}, err), ArgsResult::Error);
    Settings st;
    EXPECT_EQ(load_settings({"--offence-store", "redis://10.0.0.7", "--offence-store-password-file",
                             "/nonexistent/password"}, st, err),
              ArgsResult::Error);
    EXPECT_NE(err.find("/nonexistent/password"), std::string::npos) << err;
}

TEST(ConfigTest, Validation) {
    Config c;
    std::optional<Version> min;
    std::string err;
    EXPECT_TRUE(validate_config(c, min, err));
    EXPECT_FALSE(min);
    c.min_version = "2.10";
    EXPECT_FALSE(validate_config(c, min, err));  // no download path
    c.download_path = "/dl/oramet.zip";
    EXPECT_TRUE(validate_config(c, min, err)) << err;
    ASSERT_TRUE(min);
    EXPECT_TRUE(*min == V("2.1"));
    c.download_path = "bad\r\npath";
    EXPECT_FALSE(validate_config(c, min, err));
    c.download_path.clear();
    // TLS needs its pair and an address of its own (443 unless given).
    struct Tls {
        const char *listen, *tls_listen, *certificate, *key;
        bool ok;
    } rows[] = {
        {"127.0.0.1", "127.0.0.1", "c.pem", "k.pem", true},
        {"127.0.0.1:443", "127.0.0.1", "c.pem", "k.pem", false},
        {"127.0.0.1", "127.0.0.1:80", "c.pem", "k.pem", false},
        {"127.0.0.1", "127.0.0.1:9617", "c.pem", "k.pem", false},  // the metrics' address
        {"127.0.0.1", "127.0.0.1", "", "k.pem", false},
        {"127.0.0.1", "127.0.0.1", "c.pem", "", false},
    };
    for (const Tls &row : rows) {
        SCOPED_TRACE(row.tls_listen);
        Config t;
        t.listen = row.listen;
        t.metrics_listen = "127.0.0.1:9617";
        t.tls_listen = row.tls_listen;
        t.tls_certificate = row.certificate;
        t.tls_key = row.key;
        EXPECT_EQ(validate_config(t, min, err), row.ok) << err;
    }
}

// PROXY v1 lines as load balancers send them, and what is not one.
TEST(ProxyLine, Parses) {
    struct Case {
        std::string in;
        int result;              // length, 0 incomplete, -1 not a line
        const char *client;      // "" when none is named
    } cases[] = {
        {"PROXY TCP4 192.0.2.7 10.0.0.1 40000 443\r\n\x16\x03\x01", 41, "192.0.2.7"},
        {"PROXY TCP6 2001:db8::7 2001:db8::1 40000 443\r\n", 46, "2001:db8::7"},
        {"PROXY UNKNOWN\r\n", 15, ""},
        {"PROXY TCP4 192.0.2.7 10.0.0.1 40000 44", 0, ""},
        {"PROX", 0, ""},
        {"", 0, ""},
        {"\x16\x03\x01\x02\x00", -1, ""},
        {"PROXY TCP4 192.0.2.7 10.0.0.1 70000 443\r\n", -1, ""},
        {"PROXY TCP4 2001:db8::7 10.0.0.1 1 443\r\n", -1, ""},
        {"PROXY TCP4 192.0.2.7 10.0.0.1 40000\r\n", -1, ""},
        {"PROXY TCP4 " + std::string(120, '1'), -1, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        sockaddr_storage ss;
        socklen_t len = 0xdead;
        EXPECT_EQ(parse_proxy_line(c.in, ss, len), c.result);
        if (c.result <= 0) continue;
        char text[64] = "";
        if (len != 0)
            inet_ntop(ss.ss_family,
                      ss.ss_family == AF_INET ? static_cast<void *>(&reinterpret_cast<sockaddr_in *>(&ss)->sin_addr)
                                              : static_cast<void *>(&reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_addr),
                      text, sizeof text);
        EXPECT_STREQ(text, c.client);
        if (len != 0) EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port), 40000);
    }
}

TEST(ListenAddress, Parses) {
    sockaddr_storage ss;
    socklen_t len;
    std::string err;
    ASSERT_TRUE(parse_listen_address("127.0.0.1:80", ss, len, err));
    EXPECT_EQ(ss.ss_family, AF_INET);
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port), 80);
    ASSERT_TRUE(parse_listen_address("127.0.0.203", ss, len, err));
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port), 80);
    ASSERT_TRUE(parse_listen_address("[::1]:8080", ss, len, err));
    EXPECT_EQ(ss.ss_family, AF_INET6);
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port), 8080);
    ASSERT_TRUE(parse_listen_address("127.0.0.203", ss, len, err, 443));
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port), 443);
    ASSERT_TRUE(parse_listen_address("[::]", ss, len, err));
    EXPECT_EQ(len, sizeof(sockaddr_in6));
    for (const char *bad : {"", "::1", "[::1", "[::1]80", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:", "host:80",
                            "127.0.0.1:8o"})
        EXPECT_FALSE(parse_listen_address(bad, ss, len, err)) << bad;
}

// Bucket bounds are inclusive ("le"), the histogram is written cumulative,
// and seconds are exact decimals.
TEST(Metrics, HistogramBucketsAndText) {
    struct Case {
        std::uint64_t us;
        const char *first_bucket_holding_it;
    } cases[] = {
        {0, "0.00005"}, {50, "0.00005"}, {51, "0.0001"}, {1000, "0.001"}, {1001, "0.0025"},
        {1000000, "1"}, {1000001, "+Inf"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.us);
        WorkerCounters w;
        w.replied_after(c.us);
        MetricsSnapshot s;
        s.add(w);
        s.add(w);  // two workers' worth
        std::string text = format_metrics(s);
        std::string holding = std::string("oramet_timed_reply_seconds_bucket{le=\"") + c.first_bucket_holding_it + "\"} 2\n";
        auto at = text.find(holding);
        ASSERT_NE(at, std::string::npos) << text;
        // The bucket before it is still empty.
        auto before = text.rfind("oramet_timed_reply_seconds_bucket", at - 1);
        if (before != std::string::npos) EXPECT_EQ(text.substr(at - 4, 4), "} 0\n") << text.substr(before, at - before);
        EXPECT_NE(text.find("oramet_timed_reply_seconds_bucket{le=\"+Inf\"} 2\n"), std::string::npos);
        EXPECT_NE(text.find("oramet_timed_reply_seconds_count 2\n"), std::string::npos);
    }
    MetricsSnapshot s;
    s.latency_sum_us = 1500000;
    s.answers[static_cast<std::size_t>(AnswerKind::Unsynced)][static_cast<std::size_t>(AnswerPath::H2O)] = 7;
    s.refused[static_cast<std::size_t>(Refusal::ReadTimeout)] = 3;
    s.clock_synced = true;
    s.tls_handshakes = 4;
    s.tls_handshake_failures = 2;
    std::string text = format_metrics(s);
    for (const char *line : {"oramet_timed_reply_seconds_sum 1.5\n",
                             "oramet_timed_requests_total{kind=\"unsynchronised\",path=\"h2o\"} 7\n",
                             "oramet_timed_connections_refused_total{reason=\"read_timeout\"} 3\n",
                             "oramet_timed_clock_synchronised 1\n", "# TYPE oramet_timed_reply_seconds histogram\n",
                             "oramet_timed_tls_handshakes_total{result=\"ok\"} 4\n",
                             "oramet_timed_tls_handshakes_total{result=\"failed\"} 2\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    EXPECT_EQ(s.requests(), 7u);
    EXPECT_EQ(text.find("offence_store"), std::string::npos) << "no store lines without a store";
    s.store_configured = true;
    s.store_dropped = 4;
    s.store_blocked = 2;
    text = format_metrics(s);
    for (const char *line : {"oramet_timed_offence_store_up 0\n", "oramet_timed_offence_store_dropped_total 4\n",
                             "oramet_timed_offence_store_blocked_addresses 2\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

TEST(OffenceStore, ParsesStoreAddresses) {
    struct Case {
        const char *text;
        const char *host;  // nullptr: rejected
        unsigned port, db;
    } cases[] = {
        {"redis://10.0.0.7", "10.0.0.7", 6379, 0},
        {"redis://10.0.0.7:6380", "10.0.0.7", 6380, 0},
        {"redis://10.0.0.7:6380/3", "10.0.0.7", 6380, 3},
        {"redis://store.internal/2", "store.internal", 6379, 2},
        {"redis://[2001:db8::7]:6390/1", "2001:db8::7", 6390, 1},
        {"redis://[::1]", "::1", 6379, 0},
        {"redis://10.0.0.7/", "10.0.0.7", 6379, 0},
        {"10.0.0.7:6379", nullptr, 0, 0},
        {"rediss://10.0.0.7", nullptr, 0, 0},
        {"redis://", nullptr, 0, 0},
        {"redis://10.0.0.7:", nullptr, 0, 0},
        {"redis://10.0.0.7:0", nullptr, 0, 0},
        {"redis://10.0.0.7:65536", nullptr, 0, 0},
        {"redis://10.0.0.7/x", nullptr, 0, 0},
        {"redis://10.0.0.7:6379x", nullptr, 0, 0},
        {"redis://[::1", nullptr, 0, 0},
        {"redis://[nothost]", nullptr, 0, 0},
        {"redis://[::1]x", nullptr, 0, 0},
        {"redis://user@10.0.0.7", nullptr, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        StoreAddress a{"sentinel", 1, 99};
        std::string err;
        bool ok = parse_store_address(c.text, a, err);
        ASSERT_EQ(ok, c.host != nullptr) << err;
        if (!ok) {
            EXPECT_FALSE(err.empty());
            EXPECT_EQ(a.host, "sentinel") << "untouched on error";
            continue;
        }
        EXPECT_EQ(a.host, c.host);
        EXPECT_EQ(a.port, c.port);
        EXPECT_EQ(a.db, c.db);
    }
}

// Every replica must spell an address the same way, and read back only
// what one of them wrote.
TEST(OffenceStore, AddressKeysAsText) {
    EXPECT_EQ(addr_key_text(key4("192.0.2.7")), "192.0.2.7");
    EXPECT_EQ(addr_key_text(key6("2001:db8:1:2:aaaa::1")), "2001:db8:1:2::/64");
    for (const AddrKey &k : {key4("192.0.2.7"), key4("0.0.0.0"), key6("2001:db8:1:2::9"), key6("fe80::1")})
        EXPECT_EQ(parse_addr_key_text(addr_key_text(k)), k) << addr_key_text(k);
    for (const char *bad : {"", "192.0.2", "192.0.2.7/64", "2001:db8::1", "2001:db8::1/64", "::ffff:1.2.3.4/64",
                            "/64", "2001:db8::/48x"})
        EXPECT_FALSE(parse_addr_key_text(bad)) << bad;
    StoreKeys keys("p:");
    EXPECT_EQ(keys.count(key4("192.0.2.7")), "p:offences:192.0.2.7");
    EXPECT_EQ(keys.blocked(), "p:blocked");

    AddrKey k{};
    std::int64_t until = -1;
    ASSERT_TRUE(parse_block_message(block_message(key6("2001:db8::1"), 1796900000), k, until));
    EXPECT_EQ(k, key6("2001:db8::1"));
    EXPECT_EQ(until, 1796900000);
    for (const char *bad : {"192.0.2.7", "192.0.2.7 ", "192.0.2.7 -5", "192.0.2.7 12x", "x 12",
                            "192.0.2.7 1234567890123456789"})
        EXPECT_FALSE(parse_block_message(bad, k, until)) << bad;
}

TEST(OffenceStore, QueueMergesPerAddressAndDropsWhenFull) {
    OffenceQueue q(2);
    EXPECT_TRUE(q.push(key4("192.0.2.1")));
    EXPECT_TRUE(q.push(key4("192.0.2.1")));
    EXPECT_TRUE(q.push(key6("2001:db8::1")));
    EXPECT_TRUE(q.push(key6("2001:db8::2")));  // same /64: merged
    EXPECT_FALSE(q.push(key4("192.0.2.3")));   // a third address
    EXPECT_TRUE(q.push(key4("192.0.2.1")));    // known ones still count
    EXPECT_EQ(q.dropped(), 1u);
    auto taken = q.take();
    std::sort(taken.begin(), taken.end());
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0], std::make_pair(key4("192.0.2.1"), 3u));  // IPv4-mapped sorts first
    EXPECT_EQ(taken[1], std::make_pair(key6("2001:db8::1"), 2u));
    EXPECT_TRUE(q.take().empty());
    EXPECT_TRUE(q.push(key4("192.0.2.3"))) << "room again once taken";
}

TEST(OffenceStore, BlockedCopyEndsAndIsReplacedWhole) {
    BlockedCopy b;
    EXPECT_FALSE(b.blocked(key4("192.0.2.1"), 100));
    b.add(key4("192.0.2.1"), 200);
    b.add(key4("192.0.2.1"), 150);  // an older message does not shorten it
    EXPECT_TRUE(b.blocked(key4("192.0.2.1"), 199));
    EXPECT_FALSE(b.blocked(key4("192.0.2.1"), 200));
    EXPECT_FALSE(b.blocked(key4("192.0.2.2"), 100));
    b.replace({{key4("192.0.2.2"), 300}});
    EXPECT_FALSE(b.blocked(key4("192.0.2.1"), 100));
    EXPECT_TRUE(b.blocked(key4("192.0.2.2"), 100));
    EXPECT_EQ(b.size(), 1u);
    EXPECT_EQ(store_backoff_ms(1000), 4000u) << "the pause between attempts has a ceiling";
}
