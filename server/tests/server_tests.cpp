// Tests that start the real oramet-timed binary on a loopback address of its
// own and talk to it over plain sockets, the way the Windows client does.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <dirent.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPort = 18123;
constexpr int kMetricsPort = 18124;
constexpr int kTlsPort = 18443;
// Generous bounds that only catch hangs; nothing here measures speed.
constexpr int kHangMs = 10000;

std::string client_request(const std::string &target) {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Horalin\r\n\r\n";
}

long long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int connect_to(const std::string &ip, const char *source_ip = nullptr, int port = kPort) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (source_ip != nullptr) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        inet_pton(AF_INET, source_ip, &src.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string &data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the peer closes (or resets) the connection or `timeout_ms`
// passes. `closed` tells which of the two happened.
std::string read_until_close(int fd, bool *closed = nullptr, int timeout_ms = kHangMs) {
    std::string out;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    if (closed) *closed = false;
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) break;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            if (closed) *closed = true;
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// One connection, one request, everything the server sends back.
std::string talk(const std::string &ip, const std::string &request, const char *source_ip = nullptr) {
    int fd = connect_to(ip, source_ip);
    if (fd < 0) return "<connect failed>";
    send_all(fd, request);
    std::string out = read_until_close(fd);
    close(fd);
    return out;
}

struct Response {
    int status = 0;
    std::string head;
    std::string body;
    std::string header(const std::string &name) const {
        std::string lower_head;
        for (char c : head) lower_head += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string key = "\r\n" + name + ":";
        auto at = lower_head.find(key);
        if (at == std::string::npos) return "<none>";
        auto start = at + key.size();
        auto end = head.find("\r\n", start);
        std::string v = head.substr(start, end - start);
        while (!v.empty() && v.front() == ' ') v.erase(0, 1);
        return v;
    }
};

Response parse(const std::string &raw) {
    Response r;
    auto sep = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || sep == std::string::npos) return r;
    r.status = std::atoi(raw.c_str() + 9);
    r.head = raw.substr(0, sep);
    r.body = raw.substr(sep + 4);
    return r;
}

Response get(const std::string &ip, const std::string &target, const char *source_ip = nullptr) {
    return parse(talk(ip, client_request(target), source_ip));
}

// What the client itself does: one recv of at most 1023 bytes, the body is
// whatever follows the first blank line.
std::string client_style_body(const std::string &ip, const std::string &target) {
    int fd = connect_to(ip);
    if (fd < 0) return "<connect failed>";
    send_all(fd, client_request(target));
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, kHangMs);
    char buf[1024];
    ssize_t n = recv(fd, buf, 1023, 0);
    close(fd);
    if (n <= 0) return "<nothing>";
    std::string got(buf, static_cast<size_t>(n));
    auto sep = got.find("\r\n\r\n");
    return sep == std::string::npos ? "<no blank line>" : got.substr(sep + 4);
}

// True when the server closed (or reset) the connection without sending a
// byte, within `timeout_ms`.
bool closed_without_reply(int fd, int timeout_ms = kHangMs) {
    bool closed = false;
    std::string got = read_until_close(fd, &closed, timeout_ms);
    return closed && got.empty();
}

// Connects from `source_ip`, sends `request` and tells whether the server
// hung up without a reply.
bool refused(const std::string &ip, const std::string &request, const char *source_ip) {
    int fd = connect_to(ip, source_ip);
    if (fd < 0) return false;
    send_all(fd, request);
    bool r = closed_without_reply(fd);
    close(fd);
    return r;
}

// Polls `done` until it holds or the hang bound passes.
template <typename F>
bool eventually(F done) {
    auto deadline = Clock::now() + std::chrono::milliseconds(kHangMs);
    while (Clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::trunc);
    f << text;
}

bool is_time_body(const std::string &body) {
    if (body.size() < 13) return false;
    for (char c : body)
        if (c < '0' || c > '9') return false;
    return true;
}

// The metrics listener's reply to GET /metrics, or "" when it gave none.
std::string scrape(const std::string &ip) {
    int fd = connect_to(ip, nullptr, kMetricsPort);
    if (fd < 0) return "";
    send_all(fd, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    std::string raw = read_until_close(fd);
    close(fd);
    auto sep = raw.find("\r\n\r\n");
    return raw.compare(0, 12, "HTTP/1.1 200") == 0 && sep != std::string::npos ? raw.substr(sep + 4) : "";
}

// The metrics listener's answer to GET `path` (/ready, /live).
Response health(const std::string &ip, const std::string &path) {
    int fd = connect_to(ip, nullptr, kMetricsPort);
    if (fd < 0) return {};
    send_all(fd, "GET " + path + " HTTP/1.0\r\n\r\n");
    Response r = parse(read_until_close(fd));
    close(fd);
    return r;
}

// The lines of `want` ("name{labels} value") that `metrics` lacks.
std::string missing_lines(const std::string &metrics, const std::vector<std::string> &want) {
    std::string missing;
    for (const auto &line : want)
        if (("\n" + metrics).find("\n" + line + "\n") == std::string::npos) missing += line + "\n";
    return missing;
}

// A datagram socket standing in for the service manager: a path, or an
// abstract name after '@'.
class NotifySocket {
public:
    explicit NotifySocket(std::string address) : address_(std::move(address)) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, address_.data(), address_.size());
        if (address_[0] == '@') a.sun_path[0] = '\0';
        else unlink(address_.c_str());
        // A failure shows as "<none>" from next().
        bind(fd_, reinterpret_cast<sockaddr *>(&a), offsetof(sockaddr_un, sun_path) + address_.size());
    }
    ~NotifySocket() {
        close(fd_);
        if (address_[0] == '/') unlink(address_.c_str());
    }
    // The next message starting with `prefix`, skipping others, or "<none>"
    // when none came within the hang bound.
    std::string next(const std::string &prefix = "") {
        auto deadline = Clock::now() + std::chrono::milliseconds(kHangMs);
        pollfd p{fd_, POLLIN, 0};
        char buf[4096];
        while (Clock::now() < deadline && poll(&p, 1, kHangMs) > 0) {
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n >= 0 && std::string(buf, static_cast<size_t>(n)).compare(0, prefix.size(), prefix) == 0)
                return std::string(buf, static_cast<size_t>(n));
        }
        return "<none>";
    }
    std::string env() const { return "NOTIFY_SOCKET=" + address_; }

private:
    std::string address_;
    int fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

// How the server process is started beyond its arguments.
struct Launch {
    std::vector<std::string> env;  // "NAME=value"
    rlim_t nofile_soft = 0, nofile_hard = 0;  // descriptor limit; 0: inherited
};

class Server {
public:
    Server(std::string ip, std::vector<std::string> args, Launch launch = {}) : ip_(std::move(ip)) {
        log_path_ = ::testing::TempDir() + "oramet-timed-" + ip_ + ".log";
        args.insert(args.begin(), {"--listen", ip_ + ":" + std::to_string(kPort)});
        pid_ = spawn(args, log_path_, launch);
    }
    ~Server() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    static pid_t spawn(const std::vector<std::string> &args, const std::string &log_path, const Launch &launch) {
        pid_t pid = fork();
        if (pid == 0) {
            for (const auto &e : launch.env) putenv(const_cast<char *>(e.c_str()));
            if (launch.nofile_soft != 0) {
                struct rlimit rl = {launch.nofile_soft, launch.nofile_hard};
                setrlimit(RLIMIT_NOFILE, &rl);
            }
            int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (log >= 0) {
                dup2(log, 1);
                dup2(log, 2);
            }
            close_range(3, ~0u, 0);  // the server's descriptors are its own
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(ORAMET_TIMED_BINARY));
            for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(ORAMET_TIMED_BINARY, argv.data());
            _exit(127);
        }
        return pid;
    }
    // Waits until the server accepts connections.
    bool ready() {
        auto deadline = Clock::now() + std::chrono::milliseconds(kHangMs);
        while (Clock::now() < deadline) {
            int fd = connect_to(ip_);
            if (fd >= 0) {
                close(fd);
                return true;
            }
            if (exited()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    bool exited() {
        if (pid_ <= 0) return true;
        int st;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = st;
            pid_ = -1;
            return true;
        }
        return false;
    }
    // Sends `sig` and waits for the exit; returns the wait status or -1 on a hang.
    int stop(int sig) {
        if (pid_ <= 0) return status_;
        kill(pid_, sig);
        return wait_exit();
    }
    int wait_exit() {
        auto deadline = Clock::now() + std::chrono::milliseconds(kHangMs);
        while (Clock::now() < deadline) {
            if (exited()) return status_;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    std::string log() const {
        std::ifstream in(log_path_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    const std::string &ip() const { return ip_; }
    pid_t pid() const { return pid_; }
    // CPU time the server has used, in clock ticks.
    long cpu_ticks() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string stat(std::istreambuf_iterator<char>(in), {});
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string skip;
        for (int i = 3; i < 14; ++i) fields >> skip;  // state ... cmajflt
        long utime = 0, stime = 0;
        fields >> utime >> stime;
        return utime + stime;
    }

private:
    std::string ip_;
    std::string log_path_;
    pid_t pid_ = -1;
    int status_ = -1;
};

#define START(server) ASSERT_TRUE((server).ready()) << (server).log()

// The date and the time told are the only bytes of a reply that may differ
// from one request to the next.
std::string normalised(std::string raw) {
    auto date = raw.find("\r\nDate: ");
    if (date != std::string::npos) raw.replace(date + 8, 29, "<date>");
    auto sep = raw.find("\r\n\r\n");
    if (sep != std::string::npos && is_time_body(raw.substr(sep + 4))) raw.replace(sep + 4, std::string::npos, "<time>");
    return raw;
}

// A test root, an intermediate under it and two server certificates (leaf a
// and leaf b) under that, for the TLS tests' addresses 127.0.10.1-127.0.10.9,
// made with openssl once per test process. leaf-X.pem holds the certificate
// and the intermediate, as an ACME client writes its fullchain.
class Pki {
public:
    static const Pki &get() {
        static Pki pki;
        return pki;
    }
    std::string root() const { return dir_ + "root.pem"; }
    std::string chain(char leaf) const { return dir_ + "leaf-" + leaf + ".pem"; }
    std::string key(char leaf) const { return dir_ + "leaf-" + leaf + ".key"; }
    bool ok() const { return ok_; }
    ~Pki() {
        if (std::system(("rm -rf '" + dir_ + "'").c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
    }

private:
    Pki() : dir_(::testing::TempDir() + "oramet-timed-pki-" + std::to_string(getpid()) + "/") {
        mkdir(dir_.c_str(), 0700);
        std::string san = "subjectAltName=";
        for (int i = 1; i <= 9; ++i) san += "IP:127.0.10." + std::to_string(i) + ",DNS:127.0.10." + std::to_string(i) + ",";
        san.pop_back();
        write_file(dir_ + "ca.ext", "basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign,cRLSign\n");
        write_file(dir_ + "leaf.ext", san + "\nbasicConstraints=CA:false\nextendedKeyUsage=serverAuth\n");
        const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
        const std::string script =
            "set -e; cd '" + dir_ + "'\n"
            "openssl req -x509 " + key + " -keyout root.key -out root.pem -days 3 -subj '/CN=Oramet Test Root'"
            " -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign\n"
            "openssl req " + key + " -keyout inter.key -out inter.csr -subj '/CN=Oramet Test Intermediate'\n"
            "openssl x509 -req -in inter.csr -CA root.pem -CAkey root.key -set_serial 2 -days 3 -extfile ca.ext"
            " -out inter.pem\n"
            "for leaf in a b; do\n"
            "  openssl req " + key + " -keyout leaf-$leaf.key -out leaf-$leaf.csr -subj /CN=leaf-$leaf\n"
            "  openssl x509 -req -in leaf-$leaf.csr -CA inter.pem -CAkey inter.key -set_serial 3$(printf %d \"'$leaf\")"
            " -days 3 -extfile leaf.ext -out leaf-$leaf.crt\n"
            "  cat leaf-$leaf.crt inter.pem > leaf-$leaf.pem\n"
            "done\n";
        write_file(dir_ + "make.sh", script);
        ok_ = std::system(("sh '" + dir_ + "make.sh' >'" + dir_ + "make.log' 2>&1").c_str()) == 0;
    }
    std::string dir_;
    bool ok_ = false;
};

// The server arguments that turn TLS on at `ip` with leaf `leaf`.
std::vector<std::string> tls_args(const std::string &ip, char leaf = 'a') {
    const Pki &pki = Pki::get();
    return {"--tls-listen", ip + ":" + std::to_string(kTlsPort), "--tls-certificate", pki.chain(leaf), "--tls-key",
            pki.key(leaf)};
}

struct TlsOptions {
    int min_version = TLS1_2_VERSION;
    int max_version = 0;  // 0: the newest
    bool legacy = false;  // lets this OpenSSL offer what its default security level forbids
    const char *source_ip = nullptr;
    std::string clear_prefix;  // sent before the handshake (a PROXY line)
    SSL_SESSION *resume = nullptr;
};

struct TlsReply {
    bool handshake = false;
    std::string raw, version, alpn, subject;
    bool reused = false;
    std::shared_ptr<SSL_SESSION> session;  // to resume with
};

// One connection over TLS that trusts only the test root and checks the
// address against the certificate, one request, everything the server sends.
TlsReply tls_talk(const std::string &ip, const std::string &request, const TlsOptions &o = {}) {
    // OpenSSL writes with send(); a server that turned the client away makes that EPIPE.
    static const bool no_sigpipe = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)no_sigpipe;
    TlsReply r;
    int fd = connect_to(ip, o.source_ip, kTlsPort);
    if (fd < 0) return r;
    timeval tv{kHangMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    send_all(fd, o.clear_prefix);
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    SSL_CTX_set_min_proto_version(ctx.get(), o.min_version);
    SSL_CTX_set_max_proto_version(ctx.get(), o.max_version);
    if (o.legacy) SSL_CTX_set_cipher_list(ctx.get(), "DEFAULT@SECLEVEL=0");
    SSL_CTX_load_verify_locations(ctx.get(), Pki::get().root().c_str(), nullptr);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), ip.c_str());
    SSL_set_alpn_protos(ssl.get(), reinterpret_cast<const unsigned char *>("\x08http/1.1"), 9);
    if (o.resume != nullptr) SSL_set_session(ssl.get(), o.resume);
    SSL_set_fd(ssl.get(), fd);
    if (SSL_connect(ssl.get()) == 1) {
        r.handshake = true;
        SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));
        char buf[4096];
        int n;
        while ((n = SSL_read(ssl.get(), buf, sizeof buf)) > 0) r.raw.append(buf, static_cast<size_t>(n));
        // Only a session closed cleanly (close_notify) may be resumed.
        if (SSL_get_error(ssl.get(), n) == SSL_ERROR_ZERO_RETURN) SSL_set_shutdown(ssl.get(), SSL_SENT_SHUTDOWN);
        r.version = SSL_get_version(ssl.get());
        const unsigned char *alpn = nullptr;
        unsigned alpn_len = 0;
        SSL_get0_alpn_selected(ssl.get(), &alpn, &alpn_len);
        r.alpn.assign(reinterpret_cast<const char *>(alpn), alpn_len);
        r.reused = SSL_session_reused(ssl.get()) == 1;
        if (X509 *peer = SSL_get1_peer_certificate(ssl.get())) {
            char name[256];
            X509_NAME_oneline(X509_get_subject_name(peer), name, sizeof name);
            r.subject = name;
            X509_free(peer);
        }
        r.session.reset(SSL_get1_session(ssl.get()), SSL_SESSION_free);
    }
    ERR_clear_error();
    close(fd);
    return r;
}

}  // namespace

TEST(Endpoints, TimeBodyFormatAndValue) {
    Server s("127.0.0.200", {});
    START(s);
    long long before = now_ms();
    Response r = get(s.ip(), "/?v=2.07");
    long long after = now_ms();
    EXPECT_EQ(r.status, 200);
    ASSERT_TRUE(is_time_body(r.body)) << "body: [" << r.body << "]";
    EXPECT_EQ(r.body.size(), std::to_string(after / 1000).size() + 3);
    long long served = std::stoll(r.body);
    EXPECT_GT(served, before - 5000);
    EXPECT_LT(served, after + 5000);
    // The last three digits are milliseconds: body = seconds * 1000 + ms.
    EXPECT_EQ(r.body.substr(0, r.body.size() - 3), std::to_string(served / 1000));
}

TEST(Endpoints, ReplyFitsTheClientsSingleReceive) {
    Server s("127.0.0.201", {"--banner-link", "http://example.test/", "--banner-text", "欢迎使用"});
    START(s);
    std::string body = client_style_body(s.ip(), "/?v=2.07");
    EXPECT_TRUE(is_time_body(body)) << body;
    EXPECT_EQ(client_style_body(s.ip(), "/ad/"), "http://example.test/\t\xBB\xB6\xD3\xAD\xCA\xB9\xD3\xC3");
}

TEST(Endpoints, HeadersAreMinimalWithLengthAndClose) {
    Server s("127.0.0.202", {});
    START(s);
    int fd = connect_to(s.ip());
    ASSERT_GE(fd, 0);
    send_all(fd, client_request("/?v=2.07"));
    bool closed = false;
    std::string raw = read_until_close(fd, &closed);
    close(fd);
    EXPECT_TRUE(closed) << "server must close after one reply";
    Response r = parse(raw);
    ASSERT_EQ(r.status, 200) << raw;
    EXPECT_EQ(r.header("content-length"), std::to_string(r.body.size()));
    EXPECT_EQ(r.header("transfer-encoding"), "<none>");
    EXPECT_EQ(r.header("connection"), "close");
    EXPECT_EQ(r.header("cache-control"), "no-store") << "a cache must not keep a time";
    EXPECT_LT(raw.size(), 300u);
    // HEAD: the same head, no body.
    for (const char *target : {"/?v=2.07", "/ad/"}) {
        std::string head_raw = talk(s.ip(), "HEAD " + std::string(target) + " HTTP/1.1\r\nHost: x\r\n\r\n");
        Response head = parse(head_raw);
        EXPECT_EQ(head.status, 200) << target;
        EXPECT_EQ(head.body, "") << target;
        EXPECT_EQ(head.header("content-length"), get(s.ip(), target).header("content-length")) << target;
    }
}

TEST(Endpoints, BannerFromConfigFileInCodePage936) {
    std::string path = ::testing::TempDir() + "oramet-timed-banner.conf";
    {
        std::ofstream f(path);
        f << "# sample\nbanner-link = http://example.test/news?id=1\nbanner-text = 你好，世界！\n";
    }
    Server s("127.0.0.203", {"--config", path});
    START(s);
    Response r = get(s.ip(), "/ad/");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "http://example.test/news?id=1\t\xC4\xE3\xBA\xC3\xA3\xAC\xCA\xC0\xBD\xE7\xA3\xA1");
    EXPECT_EQ(r.header("content-length"), std::to_string(r.body.size()));
}

TEST(Endpoints, BannerNotConfiguredIsEmpty) {
    Server s("127.0.0.204", {});
    START(s);
    Response r = get(s.ip(), "/ad/");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "");
}

TEST(Endpoints, EverythingElseIsNotFound) {
    Server s("127.0.0.205", {});
    START(s);
    for (const char *target : {"/", "/ad", "/ad/x", "/index.html", "/favicon.ico", "//?v=2.07", "/x?v=2.07"}) {
        Response r = get(s.ip(), target);
        EXPECT_EQ(r.status, 404) << target;
        EXPECT_EQ(r.body, "not found") << target;
    }
    Response post = parse(talk(s.ip(), "POST /?v=2.07 HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"));
    EXPECT_EQ(post.status, 404);
    EXPECT_EQ(post.body, "not found");
    Response head = parse(talk(s.ip(), "HEAD /nope HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(head.status, 404);
    EXPECT_EQ(head.body, "");
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07").body));
}

TEST(Switches, Maintenance) {
    Server s("127.0.0.206", {"--maintenance", "--banner-link", "l", "--banner-text", "t"});
    START(s);
    Response r = get(s.ip(), "/?v=2.07");
    EXPECT_EQ(r.body, "~");
    EXPECT_EQ(r.header("cache-control"), "no-store");
    EXPECT_EQ(get(s.ip(), "/?").body, "~");
    EXPECT_EQ(get(s.ip(), "/ad/").body, "l\tt");
    EXPECT_EQ(get(s.ip(), "/nope").status, 404);
}

TEST(Switches, MinimumVersionAsksForUpgrade) {
    Server s("127.0.0.207", {"--min-version", "2.10", "--download-path", "/download/oramet.zip"});
    START(s);
    EXPECT_EQ(get(s.ip(), "/?v=2.07").body, "#/download/oramet.zip");
    EXPECT_EQ(get(s.ip(), "/?v=1.5").body, "#/download/oramet.zip");
    EXPECT_EQ(get(s.ip(), "/?").body, "#/download/oramet.zip");
    EXPECT_EQ(get(s.ip(), "/?v=junk").body, "#/download/oramet.zip");
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.10").body));
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.1").body));
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.5").body));
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=10").body));
}

TEST(Switches, NoMinimumServesAnyVersion) {
    Server s("127.0.0.208", {});
    START(s);
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=0.01").body));
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?").body));
}

TEST(Switches, AbuseLimitPerAddress) {
    Server s("127.0.0.209", {"--abuse-limit", "3", "--banner-link", "l", "--banner-text", "t"});
    START(s);
    const char *offender = "127.0.1.9";
    const char *neighbour = "127.0.2.9";
    for (int i = 0; i < 3; ++i) EXPECT_EQ(get(s.ip(), "/nothing-here", offender).status, 404);
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07", offender).body)) << "three offences are within the limit";
    EXPECT_EQ(get(s.ip(), "/nothing-here", offender).status, 404);
    // Past the limit the address is turned away at accept, banner included.
    EXPECT_TRUE(refused(s.ip(), client_request("/?v=2.07"), offender));
    EXPECT_TRUE(refused(s.ip(), client_request("/ad/"), offender));
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07", neighbour).body));
}

TEST(Switches, AbuseCountsGarbageOversizeAndBadQueries) {
    Server s("127.0.0.210", {"--abuse-limit", "2", "--max-request-bytes", "512"});
    START(s);
    const char *src = "127.0.1.10";
    talk(s.ip(), "this is not http\r\n\r\n", src);
    talk(s.ip(), "GET /?v=2.07 HTTP/1.1\r\nX-Filler: " + std::string(4000, 'a') + "\r\n\r\n", src);
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07", src).body));
    // The third offence, a time request without a version, passes the limit
    // and is itself answered "^", as is everything after it.
    EXPECT_EQ(get(s.ip(), "/?no-version", src).body, "^");
    EXPECT_TRUE(refused(s.ip(), client_request("/?v=2.07"), src));
}

TEST(Switches, MaintenanceWinsOverOtherAnswers) {
    Server s("127.0.0.211", {"--maintenance", "--min-version", "3", "--download-path", "/d", "--abuse-limit", "1"});
    START(s);
    const char *src = "127.0.1.11";
    get(s.ip(), "/x", src);
    // The second offence passes the limit, and the version is below the minimum.
    EXPECT_EQ(get(s.ip(), "/?", src).body, "~");
}

TEST(Switches, ProxyProtocolFromListedProxiesOnly) {
    Server s("127.0.0.230", {"--proxy-protocol-from", "127.0.0.252", "--abuse-limit", "1"});
    START(s);
    const char *proxy = "127.0.0.252", *unlisted = "127.0.0.253";
    auto line = [&](const std::string &client) { return "PROXY TCP4 " + client + " " + s.ip() + " 40000 80\r\n"; };
    EXPECT_TRUE(is_time_body(parse(talk(s.ip(), line("192.0.2.7") + client_request("/?v=2.07"), proxy)).body));
    // Offences count against the client the PROXY line names, not the proxy.
    for (int i = 0; i < 2; ++i) EXPECT_EQ(parse(talk(s.ip(), line("192.0.2.9") + client_request("/x"), proxy)).status, 404);
    EXPECT_TRUE(refused(s.ip(), line("192.0.2.9") + client_request("/?v=2.07"), proxy)) << "request with the line";
    int fd = connect_to(s.ip(), proxy);
    ASSERT_GE(fd, 0);
    send_all(fd, line("192.0.2.9"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    send_all(fd, client_request("/?v=2.07"));
    EXPECT_TRUE(closed_without_reply(fd)) << "request after the line";
    close(fd);
    EXPECT_TRUE(is_time_body(parse(talk(s.ip(), line("192.0.2.7") + client_request("/?v=2.07"), proxy)).body));
    // Anyone else could name any client: refused.
    EXPECT_TRUE(refused(s.ip(), line("192.0.2.7") + client_request("/?v=2.07"), unlisted));
}

TEST(Switches, UnsynchronisedClockAnswersMaintenance) {
    std::string state = ::testing::TempDir() + "oramet-timed-clock-state";
    write_file(state, "5 64\n");  // TIME_ERROR, STA_UNSYNC
    Server s("127.0.0.231", {"--require-synced-clock"}, Launch{{"ORAMET_TIMED_CLOCK_STATE_FILE=" + state}});
    START(s);
    Response r = get(s.ip(), "/?v=2.07");
    EXPECT_EQ(r.body, "~");
    EXPECT_EQ(r.header("cache-control"), "no-store");
    write_file(state, "0 0\n");
    EXPECT_TRUE(eventually([&] { return is_time_body(get(s.ip(), "/?v=2.07").body); }));
    write_file(state, "0 64\n");  // STA_UNSYNC alone is enough
    EXPECT_TRUE(eventually([&] { return get(s.ip(), "/?v=2.07").body == "~"; }));
    std::string log = s.log();
    EXPECT_NE(log.find("unsynchronised (TIME_ERROR)"), std::string::npos) << log;
    EXPECT_NE(log.find("unsynchronised (STA_UNSYNC)"), std::string::npos) << log;
    EXPECT_NE(log.find("synchronised; serving"), std::string::npos) << log;
}

TEST(Robustness, MalformedRequestsDoNotHurt) {
    Server s("127.0.0.212", {});
    START(s);
    std::vector<std::string> inputs = {
        "garbage\r\n\r\n",
        "\r\n\r\n",
        std::string("\0\0\0\0\xff\xfe\r\n\r\n", 10),
        "GET\r\n\r\n",
        "GET / HTTP/9.9\r\n\r\n",
        "GET /?v=2.07 HTTP/1.1\r\nNo colon here\r\n\r\n",
        "GET /?v=2.07 HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
        "GET /?v=2.07 HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
        "GET /?v=2.07 HTTP/1.1\r\nUpgrade: h2c\r\nConnection: Upgrade, HTTP2-Settings\r\nHTTP2-Settings: AAMAAABkAAQAAP__\r\n\r\n",
        "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n",
        "GET /?v=2.07 HTTP/1.0\r\n\r\n",
        "GET /?v=%00%ff HTTP/1.1\r\n\r\n",
        "GET http://example.test/?v=2.07 HTTP/1.1\r\nHost: x\r\n\r\n",
        std::string(3000, 'A'),
    };
    for (const auto &in : inputs) {
        std::string out = talk(s.ip(), in);
        EXPECT_FALSE(s.exited()) << "died on input: " << in.substr(0, 60);
    }
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07").body));
    EXPECT_EQ(s.stop(SIGTERM), 0) << s.log();
}

TEST(Robustness, RandomBytesDoNotHurt) {
    Server s("127.0.0.213", {"--idle-timeout-ms", "500", "--read-timeout-ms", "1000"});
    START(s);
    unsigned seed = 12345;
    for (int i = 0; i < 60; ++i) {
        std::string junk;
        size_t len = 1 + (rand_r(&seed) % 700);
        for (size_t k = 0; k < len; ++k) junk += static_cast<char>(rand_r(&seed) & 0xff);
        if (i % 3 == 0) junk = "GET /?" + junk + " HTTP/1.1\r\n\r\n";
        if (i % 3 == 1) junk = "GET /?v=2.07 HTTP/1.1\r\n" + junk + "\r\n\r\n";
        talk(s.ip(), junk);
        ASSERT_FALSE(s.exited()) << "died on case " << i;
    }
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07").body));
}

TEST(Robustness, OversizedRequestsAreCut) {
    Server s("127.0.0.214", {"--max-request-bytes", "1024"});
    START(s);
    // A head just under the bound is still answered.
    std::string fits = "GET /?v=2.07 HTTP/1.1\r\nX: " + std::string(900, 'a') + "\r\n\r\n";
    EXPECT_TRUE(is_time_body(parse(talk(s.ip(), fits)).body));
    for (size_t size : {2000u, 20000u, 600000u}) {
        std::string big = "GET /?v=2.07 HTTP/1.1\r\nX: " + std::string(size, 'a') + "\r\n\r\n";
        int fd = connect_to(s.ip());
        ASSERT_GE(fd, 0);
        send_all(fd, big);  // may fail part-way once the server closes: fine
        bool closed = false;
        std::string out = read_until_close(fd, &closed);
        close(fd);
        EXPECT_TRUE(closed) << size;
        EXPECT_EQ(parse(out).status == 200, false) << size;
    }
    std::string body = "POST /?v=2.07 HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 'b');
    EXPECT_NE(parse(talk(s.ip(), body)).status, 200);
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07").body));
}

// Under a second the server takes a silent connection at once; from a
// second on the kernel holds it for the first second, then the server
// takes it with that second already used.
TEST(Robustness, IdleClientIsDisconnected) {
    for (int idle_ms : {300, 1500}) {
        SCOPED_TRACE(idle_ms);
        Server s("127.0.0.215", {"--idle-timeout-ms", std::to_string(idle_ms)});
        START(s);
        int fd = connect_to(s.ip());
        ASSERT_GE(fd, 0);
        auto start = Clock::now();
        bool closed = false;
        std::string out = read_until_close(fd, &closed);
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        close(fd);
        EXPECT_TRUE(closed) << "an idle connection must be closed by the server";
        EXPECT_GE(waited, idle_ms * 9 / 10) << "cut before its idle time";
        EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07").body));
    }
}

TEST(Robustness, SlowClientIsDisconnected) {
    Server s("127.0.0.216", {"--idle-timeout-ms", "300", "--read-timeout-ms", "800"});
    START(s);
    int fd = connect_to(s.ip());
    ASSERT_GE(fd, 0);
    // Trickle a request byte by byte, never finishing it.
    std::string req = "GET /?v=2.07 HTTP/1.1\r\nX-Slow: " + std::string(2000, 's');
    bool closed = false;
    auto deadline = Clock::now() + std::chrono::milliseconds(kHangMs);
    size_t i = 0;
    while (Clock::now() < deadline && !closed) {
        if (i < req.size() && send(fd, &req[i++], 1, MSG_NOSIGNAL) != 1) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            char buf[512];
            closed = recv(fd, buf, sizeof buf, 0) <= 0;
            if (!closed) break;  // got a reply to an unfinished request?
        }
    }
    if (!closed) closed = (read_until_close(fd, &closed, 2000), closed);
    close(fd);
    EXPECT_TRUE(closed) << "a client that never finishes its request must be cut off";
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07").body));
}

TEST(Load, TwoHundredConcurrentConnections) {
    Server s("127.0.0.217", {"--workers", "2", "--max-connections-per-address", "0"});
    START(s);
    const int n = 200;
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        int fd = connect_to(s.ip());
        ASSERT_GE(fd, 0) << i;
        fds.push_back(fd);
    }
    // All connections are open at once; now every one asks for the time.
    for (int fd : fds) ASSERT_TRUE(send_all(fd, client_request("/?v=2.07")));
    int good = 0;
    for (int fd : fds) {
        if (is_time_body(parse(read_until_close(fd)).body)) ++good;
        close(fd);
    }
    EXPECT_EQ(good, n);
}

TEST(Load, ConnectionLimitHoldsBackExtraClients) {
    Server s("127.0.0.218", {"--workers", "1", "--max-connections", "20", "--max-connections-per-address", "0",
                             "--idle-timeout-ms", "60000", "--read-timeout-ms", "60000",
                             "--metrics-listen", "127.0.0.218:" + std::to_string(kMetricsPort)});
    START(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the readiness probe's close land
    // Twenty clients that have begun a request (a silent one is not the
    // server's until it sends) take every slot.
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i) {
        int fd = connect_to(s.ip());
        ASSERT_GE(fd, 0);
        send_all(fd, "G");
        idle.push_back(fd);
    }
    // A complete request from the 21st client waits in the kernel's queue.
    int extra = connect_to(s.ip());
    ASSERT_GE(extra, 0);
    send_all(extra, client_request("/?v=2.07"));
    pollfd p{extra, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 1000), 0) << "server took more connections than allowed";
    // The metrics have a listener of their own, which the full budget does not hold back.
    std::string metrics = scrape(s.ip());
    EXPECT_EQ(missing_lines(metrics, {"oramet_timed_open_connections 20",
                                      "oramet_timed_connections_refused_total{reason=\"server_full\"} 1"}),
              "")
        << metrics;
    for (int fd : idle) close(fd);
    Response r = parse(read_until_close(extra));
    close(extra);
    EXPECT_TRUE(is_time_body(r.body)) << "held-back client must be served once slots free up";
}

// One address floods with connections that send nothing or trickle a
// request; the server has few slots, so without a per-address cap the flood
// would take them all and the ordinary client would wait for minutes.
TEST(Load, FloodFromOneAddressLeavesOthersServed) {
    const char *flood = "127.0.0.250", *ordinary = "127.0.0.251";
    for (bool slow : {false, true}) {
        SCOPED_TRACE(slow ? "slow flood" : "idle flood");
        Server s("127.0.0.232", {"--max-connections", "64", "--idle-timeout-ms", "60000", "--read-timeout-ms", "60000"});
        START(s);
        std::vector<int> fds;
        for (int i = 0; i < 200; ++i) {
            int fd = connect_to(s.ip(), flood);
            ASSERT_GE(fd, 0) << i;
            fds.push_back(fd);
        }
        std::atomic<bool> stop{false};
        std::thread trickle([&] {
            std::string req = "GET /?v=2.07 HTTP/1.1\r\nX-Slow: " + std::string(100, 's');
            for (size_t i = 0; slow && !stop && i < req.size(); ++i) {
                for (int fd : fds) send(fd, &req[i], 1, MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        auto closed_count = [&] {
            int n = 0;
            for (int fd : fds) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 0) > 0) ++n;
            }
            return n;
        };
        EXPECT_TRUE(eventually([&] { return closed_count() >= 200 - 16; })) << closed_count();
        for (int i = 0; i < 10 && !HasFailure(); ++i) {
            auto start = Clock::now();
            EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07", ordinary).body)) << i;
            EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << i;
        }
        EXPECT_EQ(closed_count(), 200 - 16) << "the flood keeps exactly its 16 connections";
        stop = true;
        trickle.join();
        for (int fd : fds) close(fd);
    }
}

// With 2 workers and 20 slots, 19 held connections leave room for one more
// on either worker.
TEST(Load, WorkersShareOneConnectionBudget) {
    Server s("127.0.0.233", {"--workers", "2", "--max-connections", "20", "--max-connections-per-address", "0",
                             "--idle-timeout-ms", "60000"});
    START(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the readiness probe's close land
    std::vector<int> held;
    for (int i = 0; i < 19; ++i) {
        held.push_back(connect_to(s.ip(), "127.0.0.250"));
        ASSERT_GE(held.back(), 0);
        send_all(held.back(), "G");
    }
    for (int i = 0; i < 30; ++i) {
        int fd = connect_to(s.ip(), "127.0.0.251");
        ASSERT_GE(fd, 0);
        send_all(fd, client_request("/?v=2.07"));
        EXPECT_TRUE(is_time_body(parse(read_until_close(fd, nullptr, 3000)).body)) << "request " << i;
        close(fd);
    }
    for (int fd : held) close(fd);
}

// Requests that are already waiting when their connections are accepted
// are read at once, and simple ones answered without H2O; every kind must
// get, byte for byte, the reply H2O gives it (only the date and the time
// differ), in whatever order.
TEST(Load, RequestsWaitingInTheQueueAreAnsweredAlike) {
    Server s("127.0.0.237", {"--workers", "1", "--max-request-bytes", "512", "--abuse-limit", "0",
                             "--idle-timeout-ms", "1000", "--banner-link", "http://example.test/",
                             "--banner-text", "欢迎"});
    START(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the readiness probe's close land
    const std::string head_time = "HEAD /?v=2.07 HTTP/1.1\r\nConnection: close\r\n\r\n";
    const std::string cut = "<cut>";
    struct Case {
        std::string before, after;  // sent while the server is stopped, and once it runs again
        bool is_cut;
    } cases[] = {
        {client_request("/?v=2.07"), "", false},
        {head_time, "", false},
        {client_request("/ad/"), "", false},
        {client_request("/x"), "", false},
        {"HEAD /ad/ HTTP/1.1\r\nhost: a\r\naccept: */*\r\n\r\n", "", false},
        {client_request("/?"), "", false},
        {"GET /?v=2.07 HTTP/1.1\r\nHost: a\r\n", "\r\n", false},  // the rest comes later
        {"GET /?v=2.07 HTTP/1.1\r\nX: " + std::string(2000, 'a') + "\r\n\r\n", "", true},
        {"PROXY TCP4 192.0.2.7 127.0.0.237 40000 80\r\n" + client_request("/?v=2.07"), "", true},
        {"GET /?v=2.07 HTTP/1.0\r\n\r\n", "", false},
        {"", "", true},  // sends nothing: the idle cut
        {client_request("/?v=2.07"), "", false},
        {"", client_request("/?v=2.07"), false},
        {client_request("/?v=2.07"), "", false},
    };
    ASSERT_EQ(kill(s.pid(), SIGSTOP), 0);
    std::vector<int> fds;
    for (const Case &c : cases) {
        fds.push_back(connect_to(s.ip(), "127.0.0.251"));
        ASSERT_GE(fds.back(), 0);
        send_all(fds.back(), c.before);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // everything reaches the server's queue
    ASSERT_EQ(kill(s.pid(), SIGCONT), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (size_t i = 0; i < fds.size(); ++i) send_all(fds[i], cases[i].after);
    for (size_t i = 0; i < fds.size(); ++i) {
        bool closed = false;
        std::string queued = normalised(read_until_close(fds[i], &closed));
        close(fds[i]);
        EXPECT_TRUE(closed) << i;
        if (cases[i].is_cut) {
            EXPECT_NE(parse(queued).status, 200) << i;
            continue;
        }
        // Alone, and its first byte sent apart, it goes through H2O.
        std::string whole = cases[i].before + cases[i].after;
        int fd = connect_to(s.ip(), "127.0.0.251");
        ASSERT_GE(fd, 0);
        send_all(fd, whole.substr(0, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        send_all(fd, whole.substr(1));
        std::string alone = normalised(read_until_close(fd));
        close(fd);
        EXPECT_EQ(queued, alone) << i;
        EXPECT_NE(parse(alone).status, 0) << i;
    }
}

// Descriptors run out under the server's feet: it must neither spin on the
// readable listener nor stop serving for good.
TEST(Load, RunningOutOfDescriptorsPausesAccepting) {
    Server s("127.0.0.234", {"--workers", "1", "--idle-timeout-ms", "60000"});
    START(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The lowest free descriptor number becomes the limit: the next accept fails.
    std::vector<bool> used(64);
    std::string dir = "/proc/" + std::to_string(s.pid()) + "/fd";
    DIR *d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    while (dirent *e = readdir(d)) {
        size_t n = std::strtoul(e->d_name, nullptr, 10);
        if (e->d_name[0] != '.' && n < used.size()) used[n] = true;
    }
    closedir(d);
    struct rlimit old, low;
    ASSERT_EQ(prlimit(s.pid(), RLIMIT_NOFILE, nullptr, &old), 0);
    low = {static_cast<rlim_t>(std::find(used.begin(), used.end(), false) - used.begin()), old.rlim_max};
    ASSERT_EQ(prlimit(s.pid(), RLIMIT_NOFILE, &low, nullptr), 0);
    int fd = connect_to(s.ip(), "127.0.0.251");
    ASSERT_GE(fd, 0);
    send_all(fd, client_request("/?v=2.07"));
    ASSERT_TRUE(eventually([&] { return s.log().find("cannot accept") != std::string::npos; })) << s.log();
    long before = s.cpu_ticks();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_LT(s.cpu_ticks() - before, sysconf(_SC_CLK_TCK) / 4) << "spinning while out of descriptors";
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "answered without a descriptor?";
    ASSERT_EQ(prlimit(s.pid(), RLIMIT_NOFILE, &old, nullptr), 0);
    EXPECT_TRUE(is_time_body(parse(read_until_close(fd)).body)) << "served once descriptors are back";
    close(fd);
    std::string log = s.log();
    EXPECT_EQ(log.find("cannot accept"), log.rfind("cannot accept")) << "logged once: " << log;
    EXPECT_NE(log.find("accepting connections again"), std::string::npos) << log;
}

TEST(Lifecycle, SigtermStopsCleanly) {
    // With an idle cut under a second the server takes silent connections
    // at once (else the kernel holds them), so there is one to close.
    Server s("127.0.0.219", {"--workers", "2", "--idle-timeout-ms", "900"});
    START(s);
    int idle = connect_to(s.ip());
    ASSERT_GE(idle, 0);
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07").body));
    int status = s.stop(SIGTERM);
    ASSERT_NE(status, -1) << "did not exit after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << s.log();
    EXPECT_LT(connect_to(s.ip()), 0) << "still listening after shutdown";
    bool closed = false;
    read_until_close(idle, &closed, 2000);
    close(idle);
    EXPECT_TRUE(closed);
    EXPECT_NE(s.log().find("stopped"), std::string::npos) << s.log();
}

// SIGTERM with a drain: /ready turns 503 and STOPPING=1 goes out at once,
// requests are still answered until the drain is over, then the server stops.
TEST(Lifecycle, DrainsBeforeStopping) {
    NotifySocket notify(::testing::TempDir() + "oramet-timed-drain.notify");
    Server s("127.0.11.10", {"--drain-ms", "3000", "--metrics-listen", "127.0.11.10:18124"}, Launch{{notify.env()}});
    ASSERT_EQ(notify.next().compare(0, 8, "READY=1\n"), 0) << s.log();
    EXPECT_EQ(health(s.ip(), "/ready").body, "ready");
    kill(s.pid(), SIGTERM);
    EXPECT_NE(notify.next("STOPPING=1"), "<none>");
    Response draining = health(s.ip(), "/ready");
    EXPECT_EQ(draining.status, 503);
    EXPECT_EQ(draining.body, "draining");
    EXPECT_EQ(health(s.ip(), "/live").status, 200) << "draining is not dying";
    EXPECT_FALSE(s.exited()) << s.log();
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07").body)) << "still answering while draining";
    int status = s.wait_exit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << s.log();
    EXPECT_LT(connect_to(s.ip()), 0) << "still listening after the drain";
    EXPECT_NE(s.log().find("draining for 3000 ms"), std::string::npos) << s.log();
}

TEST(Lifecycle, SigintStopsCleanly) {
    Server s("127.0.0.220", {});
    START(s);
    int status = s.stop(SIGINT);
    ASSERT_NE(status, -1) << "did not exit after SIGINT";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Lifecycle, RequestInFlightIsAnsweredDuringShutdown) {
    Server s("127.0.0.221", {"--shutdown-grace-ms", "5000"});
    START(s);
    int fd = connect_to(s.ip());
    ASSERT_GE(fd, 0);
    std::string req = client_request("/?v=2.07");
    send_all(fd, req.substr(0, 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::thread stopper([&] { s.stop(SIGTERM); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    send_all(fd, req.substr(10));
    Response r = parse(read_until_close(fd));
    close(fd);
    stopper.join();
    EXPECT_TRUE(is_time_body(r.body)) << "a started request should still be answered";
}

TEST(Lifecycle, RejectsBannerTooLongForTheClient) {
    std::string text;
    for (int i = 0; i < 500; ++i) text += "字";
    Server s("127.0.0.222", {"--banner-link", "http://example.test/", "--banner-text", text});
    int status = s.wait_exit();
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
    EXPECT_NE(s.log().find("banner is"), std::string::npos) << s.log();
}

TEST(Lifecycle, RejectsBadOptions) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--bogus", "1"}, {"--min-version", "2.10"}, {"--banner-text", "\xff"}, {"--max-connections", "0"}}) {
        Server s("127.0.0.223", args);
        int status = s.wait_exit();
        ASSERT_NE(status, -1);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args[0];
    }
}

TEST(Lifecycle, SighupReloadsWithoutDroppingAnything) {
    std::string path = ::testing::TempDir() + "oramet-timed-reload.conf";
    write_file(path, "abuse-limit = 1\n");
    Server s("127.0.0.235", {"--config", path, "--idle-timeout-ms", "60000"});
    START(s);
    int idle = connect_to(s.ip());
    ASSERT_GE(idle, 0);
    const char *offender = "127.0.0.250";
    get(s.ip(), "/x", offender);
    get(s.ip(), "/x", offender);
    ASSERT_TRUE(refused(s.ip(), client_request("/?v=2.07"), offender));
    struct Step {
        const char *file;
        const char *log;    // what the reload logs
        bool maintenance;   // what the time request gets afterwards
    };
    const Step steps[] = {
        {"abuse-limit = 1\nmaintenance = on\n", "settings reloaded", true},
        {"abuse-limit = 1\nmaintenance = maybe\n", "not reloaded", true},  // refused: the old settings stay
        {"abuse-limit = 1\nmaintenance = off\n", "settings reloaded", false},
    };
    size_t logged = 0;  // where the last step's log line was
    for (const Step &step : steps) {
        SCOPED_TRACE(step.file);
        write_file(path, step.file);
        kill(s.pid(), SIGHUP);
        size_t at = std::string::npos;
        ASSERT_TRUE(eventually([&] { return (at = s.log().find(step.log, logged + 1)) != std::string::npos; }))
            << s.log();
        logged = at;
        // The workers take the new settings a moment after the log line.
        std::string body;
        EXPECT_TRUE(eventually([&] {
            body = get(s.ip(), "/?v=2.07").body;
            return step.maintenance ? body == "~" : is_time_body(body);
        })) << body;
        EXPECT_TRUE(refused(s.ip(), client_request("/?v=2.07"), offender)) << "the offence table was kept";
    }
    pollfd p{idle, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "the open connection was dropped";
    send_all(idle, client_request("/?v=2.07"));
    EXPECT_TRUE(is_time_body(parse(read_until_close(idle)).body));
    close(idle);
}

TEST(Lifecycle, DescriptorLimitMustFitMaxConnections) {
    for (rlim_t hard : {64, 4096}) {  // the soft limit of 64 is raised to the hard one
        Server s("127.0.0.236", {"--max-connections", "1000"}, Launch{{}, 64, hard});
        if (hard > 1000) {
            EXPECT_TRUE(s.ready()) << s.log();
            continue;
        }
        int status = s.wait_exit();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
        EXPECT_NE(s.log().find("needs 1040 file descriptors"), std::string::npos) << s.log();
    }
}

TEST(Lifecycle, RefusesAnAddressAlreadyInUse) {
    Server first("127.0.0.224", {});
    START(first);
    Server second("127.0.0.224", {});
    int status = second.wait_exit();
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_TRUE(is_time_body(get(first.ip(), "/?v=2.07").body));
}

// A known mix of requests, refusals and reloads; the scrape shows exactly
// those counts. Readiness comes from the notify socket, so no probe
// connection is counted; with the kernel holding connections until their
// request arrives (idle cut of a second or more), every simple request is
// answered directly.
TEST(Metrics, ScrapeShowsExactlyWhatHappened) {
    std::string conf = ::testing::TempDir() + "oramet-timed-metrics.conf";
    std::string clock = ::testing::TempDir() + "oramet-timed-metrics-clock";
    const std::string settings =
        "abuse-limit = 1\nmax-connections-per-address = 2\nidle-timeout-ms = 1200\nread-timeout-ms = 1500\n"
        "require-synced-clock = on\nbanner-link = l\nbanner-text = t\n";
    write_file(conf, settings);
    write_file(clock, "0 0\n");
    NotifySocket notify(::testing::TempDir() + "oramet-timed-metrics.notify");
    Server s("127.0.0.238", {"--config", conf, "--workers", "2", "--metrics-listen", "127.0.0.238:18124"},
             Launch{{notify.env(), "ORAMET_TIMED_CLOCK_STATE_FILE=" + clock}});
    ASSERT_EQ(notify.next().compare(0, 8, "READY=1\n"), 0) << s.log();
    const char *a = "127.0.1.38", *malformed = "127.0.4.38", *offender = "127.0.2.38", *capped = "127.0.3.38";
    auto gauge_is = [&](const std::string &line) {
        return eventually([&] { return missing_lines(scrape(s.ip()), {line}).empty(); });
    };

    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07", a).body));
    EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07", a).body));
    EXPECT_EQ(get(s.ip(), "/ad/", a).body, "l\tt");
    EXPECT_TRUE(is_time_body(parse(talk(s.ip(), "GET /?v=2.07 HTTP/1.1\r\nX-Odd: 1\r\n\r\n", a)).body));
    EXPECT_EQ(parse(talk(s.ip(), "garbage\r\n\r\n", malformed)).status, 400);
    EXPECT_EQ(get(s.ip(), "/x", offender).status, 404);
    EXPECT_EQ(get(s.ip(), "/x", offender).status, 404);  // past the limit of 1
    EXPECT_TRUE(refused(s.ip(), client_request("/?v=2.07"), offender));
    // Two begun requests fill the address's share; a third is turned away,
    // and the two run into the read time-out.
    std::vector<int> held;
    for (int i = 0; i < 2; ++i) {
        held.push_back(connect_to(s.ip(), capped));
        ASSERT_GE(held.back(), 0);
        send_all(held.back(), "G");
    }
    ASSERT_TRUE(gauge_is("oramet_timed_open_connections 2"));
    EXPECT_TRUE(refused(s.ip(), client_request("/?v=2.07"), capped));
    for (int fd : held) {
        bool closed = false;
        read_until_close(fd, &closed);
        EXPECT_TRUE(closed);
        close(fd);
    }
    int idle = connect_to(s.ip(), a);
    EXPECT_TRUE(closed_without_reply(idle));
    close(idle);
    write_file(clock, "5 64\n");
    ASSERT_TRUE(gauge_is("oramet_timed_clock_synchronised 0"));
    EXPECT_EQ(get(s.ip(), "/?v=2.07", a).body, "~");
    write_file(clock, "0 0\n");
    ASSERT_TRUE(gauge_is("oramet_timed_clock_synchronised 1"));
    // A reload is done (READY=1) once every worker has the new settings.
    for (const char *extra : {"maintenance = on\n", "maintenance = maybe\n"}) {
        write_file(conf, settings + extra);
        kill(s.pid(), SIGHUP);
        EXPECT_NE(notify.next("RELOADING=1"), "<none>");
        EXPECT_NE(notify.next("READY=1"), "<none>");
    }
    EXPECT_EQ(get(s.ip(), "/?v=2.07", a).body, "~");

    std::string metrics;
    std::string missing;
    EXPECT_TRUE(eventually([&] {
        metrics = scrape(s.ip());
        missing = missing_lines(metrics, {
            "oramet_timed_requests_total{kind=\"time\",path=\"direct\"} 2",
            "oramet_timed_requests_total{kind=\"time\",path=\"h2o\"} 1",
            "oramet_timed_requests_total{kind=\"banner\",path=\"direct\"} 1",
            "oramet_timed_requests_total{kind=\"malformed\",path=\"h2o\"} 1",
            "oramet_timed_requests_total{kind=\"not_found\",path=\"direct\"} 2",
            "oramet_timed_requests_total{kind=\"not_found\",path=\"h2o\"} 0",
            "oramet_timed_requests_total{kind=\"unsynchronised\",path=\"direct\"} 1",
            "oramet_timed_requests_total{kind=\"maintenance\",path=\"direct\"} 1",
            "oramet_timed_requests_total{kind=\"blocked\",path=\"direct\"} 0",
            "oramet_timed_connections_accepted_total 14",
            "oramet_timed_connections_refused_total{reason=\"blocked\"} 1",
            "oramet_timed_connections_refused_total{reason=\"address_cap\"} 1",
            "oramet_timed_connections_refused_total{reason=\"read_timeout\"} 2",
            "oramet_timed_connections_refused_total{reason=\"idle_cut\"} 1",
            "oramet_timed_connections_refused_total{reason=\"server_full\"} 0",
            "oramet_timed_connections_refused_total{reason=\"too_large\"} 0",
            "oramet_timed_open_connections 0",
            "oramet_timed_offence_table_entries 3",  // malformed, offender, capped
            "oramet_timed_blocked_addresses 2",      // offender, capped (two cut requests)
            "oramet_timed_reloads_total{result=\"ok\"} 1",
            "oramet_timed_reloads_total{result=\"failed\"} 1",
            "oramet_timed_clock_synchronised 1",
            "oramet_timed_reply_seconds_bucket{le=\"+Inf\"} 9",
            "oramet_timed_reply_seconds_count 9",
        });
        return missing.empty();
    })) << missing << "in:\n" << metrics;
    // Ready through the clock's and the switch's changes: a replica that
    // answers "~" stays in the load balancer.
    Response ready = health(s.ip(), "/ready");
    EXPECT_EQ(ready.status, 200);
    EXPECT_EQ(ready.body, "ready");
    // The listener answers nothing but GET /metrics, /ready and /live.
    for (const char *request : {"GET / HTTP/1.1\r\n\r\n", "POST /metrics HTTP/1.1\r\n\r\n", "junk\r\n\r\n"}) {
        int fd = connect_to(s.ip(), nullptr, kMetricsPort);
        ASSERT_GE(fd, 0);
        send_all(fd, request);
        EXPECT_NE(parse(read_until_close(fd)).status, 200) << request;
        close(fd);
    }
}

TEST(Lifecycle, NotifiesTheServiceManager) {
    for (std::string address : {::testing::TempDir() + "oramet-timed.notify", std::string("@oramet-timed-test")}) {
        SCOPED_TRACE(address);
        NotifySocket notify(address);
        Server s("127.0.0.239", {"--workers", "1", "--metrics-listen", "127.0.0.239:18124"},
                 Launch{{notify.env(), "WATCHDOG_USEC=400000"}});
        std::string ready = notify.next();
        EXPECT_EQ(ready.compare(0, 8, "READY=1\n"), 0) << ready << s.log();
        EXPECT_NE(ready.find("\nSTATUS=0 requests/s, 0 open connections"), std::string::npos) << ready;
        // Ready means listening: the first connection is served.
        EXPECT_TRUE(is_time_body(get(s.ip(), "/?v=2.07").body));
        EXPECT_NE(notify.next("WATCHDOG=1\n"), "<none>");
        // The worker's thread alone held still (the main thread runs on):
        // the pings stop, and come back once it runs again.
        DIR *tasks = opendir(("/proc/" + std::to_string(s.pid()) + "/task").c_str());
        ASSERT_NE(tasks, nullptr);
        pid_t worker = 0;
        while (dirent *e = readdir(tasks))
            if (e->d_name[0] != '.' && std::atoi(e->d_name) != s.pid()) worker = std::atoi(e->d_name);
        closedir(tasks);
        ASSERT_EQ(ptrace(PTRACE_SEIZE, worker, nullptr, nullptr), 0) << std::strerror(errno);
        ASSERT_EQ(ptrace(PTRACE_INTERRUPT, worker, nullptr, nullptr), 0);
        EXPECT_NE(notify.next("STATUS="), "<none>") << "the main thread reports on, without WATCHDOG=1";
        // /live follows the watchdog's rule.
        EXPECT_TRUE(eventually([&] { return health(s.ip(), "/live").status == 503; }));
        EXPECT_EQ(health(s.ip(), "/live").body, "stuck");
        waitpid(worker, nullptr, __WALL);
        ASSERT_EQ(ptrace(PTRACE_DETACH, worker, nullptr, nullptr), 0);
        EXPECT_NE(notify.next("WATCHDOG=1\n"), "<none>");
        Response live;
        EXPECT_TRUE(eventually([&] { return (live = health(s.ip(), "/live")).status == 200; }));
        EXPECT_EQ(live.body, "live");
        EXPECT_NE(s.log().find("worker 1 has not run for"), std::string::npos) << s.log();
        struct timespec before;
        clock_gettime(CLOCK_MONOTONIC, &before);
        kill(s.pid(), SIGHUP);
        std::string reloading = notify.next("RELOADING=1\n");
        ASSERT_EQ(reloading.compare(0, 27, "RELOADING=1\nMONOTONIC_USEC="), 0) << reloading;
        long long usec = std::atoll(reloading.c_str() + 27);
        EXPECT_GE(usec, before.tv_sec * 1000000LL + before.tv_nsec / 1000) << reloading;
        EXPECT_NE(notify.next("READY=1\n"), "<none>");
        EXPECT_EQ(s.stop(SIGTERM), 0);
        EXPECT_NE(notify.next("STOPPING=1"), "<none>");
    }
}

// --check-config reads what a start would and binds nothing: it passes
// while another server holds the address.
TEST(Lifecycle, CheckConfig) {
    Server running("127.0.0.240", {"--metrics-listen", "127.0.0.240:" + std::to_string(kMetricsPort)});
    START(running);
    std::string bad = ::testing::TempDir() + "oramet-timed-bad.conf";
    write_file(bad, "workers = 1\n\nmax-connections = lots\n");
    const Pki &pki = Pki::get();
    ASSERT_TRUE(pki.ok());
    struct Case {
        std::vector<std::string> args;
        rlim_t nofile;
        int status;
        std::string output;
    } cases[] = {
        {{"--config", ORAMET_TIMED_SHIPPED_CONFIG}, 0, 0, "configuration ok\n"},
        {{"--config", ORAMET_TIMED_SHIPPED_CONFIG, "--listen", "127.0.0.240:18123", "--metrics-listen",
          "127.0.0.240:18124"}, 0, 0, "configuration ok\n"},
        {{"--config", bad}, 0, 1, "oramet-timed: " + bad + ": line 3: max-connections: expected 1 to 64000 (got \"lots\")\n"},
        {{"--max-connections", "1000", "--workers", "1"}, 64, 1,
         "oramet-timed: max-connections 1000 needs 1036 file descriptors"},
        {{"--banner-text", "\xff"}, 0, 1, "oramet-timed: banner text: "},
        {{"--listen", "127.0.0.1:80", "--metrics-listen", "127.0.0.1"}, 0, 1,
         "oramet-timed: metrics-listen must differ from listen\n"},
        {{"--offence-store", "redis:/127.0.11.1"}, 0, 1,
         "oramet-timed: --offence-store: expected redis://HOST[:PORT][/DB] (got \"redis:/127.0.11.1\")\n"},
        {{"--offence-store", "redis://127.0.11.1:6379/x"}, 0, 1, "oramet-timed: --offence-store: database: "},
        {{"--offence-store", "redis://127.0.11.1", "--offence-store-password-file", "/nonexistent/password"}, 0, 1,
         "oramet-timed: offence-store-password-file: cannot read /nonexistent/password: "},
        {tls_args("127.0.10.4"), 0, 0, "configuration ok\n"},
        {{"--tls-listen", "127.0.10.4", "--tls-certificate", pki.chain('a'), "--tls-key", pki.key('b')}, 0, 1,
         "oramet-timed: tls-key " + pki.key('b') + " does not belong to the certificate in " + pki.chain('a') + "\n"},
        {{"--tls-listen", "127.0.10.4", "--tls-certificate", pki.key('a'), "--tls-key", pki.key('a')}, 0, 1,
         "oramet-timed: tls-certificate " + pki.key('a') + ": cannot load: "},
        {{"--tls-listen", "127.0.10.4", "--tls-certificate", pki.chain('a')}, 0, 1,
         "oramet-timed: tls-listen needs tls-certificate and tls-key\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> args = {"--check-config"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string log = ::testing::TempDir() + "oramet-timed-check.log";
        pid_t pid = Server::spawn(args, log, Launch{{}, c.nofile, c.nofile});
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        std::ifstream in(log);
        std::string output(std::istreambuf_iterator<char>(in), {});
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << status << output;
        EXPECT_EQ(output.compare(0, c.output.size(), c.output), 0) << output;
    }
    EXPECT_TRUE(is_time_body(get(running.ip(), "/?v=2.07").body));
}

// Over TLS a request gets the bytes it gets over plain HTTP: the same
// answers, headers, switches and errors; only the date and the time told
// differ. The certificate's chain reaches a client that trusts only the root.
TEST(Tls, SameAnswersAsPlain) {
    ASSERT_TRUE(Pki::get().ok());
    std::vector<std::string> args = {"--min-version", "2.05", "--download-path", "/d/oramet.zip", "--abuse-limit", "0",
                                     "--banner-link", "http://example.test/", "--banner-text", "欢迎"};
    for (const std::string &a : tls_args("127.0.10.1")) args.push_back(a);
    Server s("127.0.10.1", args);
    START(s);
    for (const std::string &request : {
             client_request("/?v=2.07"),
             client_request("/?v=1.0"),
             std::string("HEAD /?v=2.07 HTTP/1.1\r\nHost: x\r\n\r\n"),
             client_request("/ad/"),
             std::string("HEAD /ad/ HTTP/1.1\r\nHost: x\r\n\r\n"),
             client_request("/x"),
             client_request("/?"),
             std::string("GET /?v=2.07 HTTP/1.0\r\n\r\n"),
             std::string("POST /?v=2.07 HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"),
             std::string("garbage\r\n\r\n"),
             std::string("GET /?v=2.07 HTTP/1.1\r\nX: ") + std::string(3000, 'a') + "\r\n\r\n",
         }) {
        SCOPED_TRACE(request.substr(0, 40));
        TlsReply tls = tls_talk(s.ip(), request);
        ASSERT_TRUE(tls.handshake);
        EXPECT_EQ(tls.alpn, "http/1.1");
        EXPECT_EQ(normalised(tls.raw), normalised(talk(s.ip(), request)));
        EXPECT_LT(tls.raw.size(), 1024u) << "the client reads one record's worth";
    }
    EXPECT_TRUE(is_time_body(parse(tls_talk(s.ip(), client_request("/?v=2.07")).raw).body));
    EXPECT_EQ(parse(tls_talk(s.ip(), client_request("/ad/")).raw).body, "http://example.test/\t\xBB\xB6\xD3\xAD");
}

// TLS 1.2 and 1.3 only, sessions resumed; a listed proxy's PROXY line comes
// before the handshake; idle cut, offences and refusals as over plain HTTP,
// and the metrics count the handshakes.
TEST(Tls, ProtocolsResumptionProxyAndLimits) {
    ASSERT_TRUE(Pki::get().ok());
    std::vector<std::string> args = {"--abuse-limit", "1", "--idle-timeout-ms", "300", "--proxy-protocol-from",
                                     "127.0.10.20", "--metrics-listen", "127.0.10.2:" + std::to_string(kMetricsPort)};
    for (const std::string &a : tls_args("127.0.10.2")) args.push_back(a);
    Server s("127.0.10.2", args);
    START(s);
    struct Case {
        int version;
        const char *name;  // as negotiated; "" when refused
    } cases[] = {{TLS1_1_VERSION, ""}, {TLS1_2_VERSION, "TLSv1.2"}, {TLS1_3_VERSION, "TLSv1.3"}};
    int handshakes = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.version);
        TlsOptions o;
        o.min_version = o.max_version = c.version;
        o.legacy = true;
        TlsReply first = tls_talk(s.ip(), client_request("/?v=2.07"), o);
        EXPECT_EQ(first.handshake, *c.name != '\0');
        if (!first.handshake) continue;
        EXPECT_EQ(first.version, c.name);
        EXPECT_FALSE(first.reused);
        EXPECT_TRUE(is_time_body(parse(first.raw).body)) << first.raw;
        o.resume = first.session.get();
        TlsReply again = tls_talk(s.ip(), client_request("/?v=2.07"), o);
        EXPECT_TRUE(again.reused) << "session resumption";
        EXPECT_TRUE(is_time_body(parse(again.raw).body)) << again.raw;
        handshakes += 2;
    }
    // A listed proxy names the client before the handshake; offences count
    // against that client, who is then turned away before any handshake.
    auto line = [&](const std::string &client) { return "PROXY TCP4 " + client + " 127.0.10.2 40000 443\r\n"; };
    TlsOptions proxied;
    proxied.source_ip = "127.0.10.20";
    proxied.clear_prefix = line("192.0.2.7");
    EXPECT_TRUE(is_time_body(parse(tls_talk(s.ip(), client_request("/?v=2.07"), proxied).raw).body));
    proxied.clear_prefix = line("192.0.2.9");
    EXPECT_EQ(parse(tls_talk(s.ip(), client_request("/x"), proxied).raw).status, 404);
    EXPECT_EQ(parse(tls_talk(s.ip(), client_request("/x"), proxied).raw).status, 404);
    EXPECT_FALSE(tls_talk(s.ip(), client_request("/?v=2.07"), proxied).handshake);
    handshakes += 3;
    // The same offences over TLS block the address for plain HTTP too.
    TlsOptions offender;
    offender.source_ip = "127.0.10.21";
    EXPECT_EQ(parse(tls_talk(s.ip(), "garbage\r\n\r\n", offender).raw).status, 400);
    EXPECT_EQ(parse(tls_talk(s.ip(), client_request("/x"), offender).raw).status, 404);
    handshakes += 2;
    EXPECT_FALSE(tls_talk(s.ip(), client_request("/?v=2.07"), offender).handshake);
    EXPECT_TRUE(refused(s.ip(), client_request("/?v=2.07"), "127.0.10.21"));
    // A connection that sends nothing is cut as over plain HTTP.
    int idle = connect_to(s.ip(), "127.0.10.22", kTlsPort);
    ASSERT_GE(idle, 0);
    EXPECT_TRUE(closed_without_reply(idle));
    close(idle);
    std::string metrics, missing;
    EXPECT_TRUE(eventually([&] {
        metrics = scrape(s.ip());
        missing = missing_lines(metrics, {
            "oramet_timed_tls_handshakes_total{result=\"ok\"} " + std::to_string(handshakes),
            "oramet_timed_tls_handshakes_total{result=\"failed\"} 1",
            "oramet_timed_connections_refused_total{reason=\"idle_cut\"} 1",
            "oramet_timed_connections_refused_total{reason=\"blocked\"} 3",
            "oramet_timed_requests_total{kind=\"malformed\",path=\"h2o\"} 1",
            "oramet_timed_open_connections 0",
        });
        return missing.empty();
    })) << missing << "in:\n" << metrics;
}

// An ACME client's renewal: the new pair is read on SIGHUP while clients
// keep asking, none of them failing; a pair that does not belong together
// keeps the one in use. Sessions from before the swap still resume.
TEST(Tls, SighupSwapsTheCertificateWhileClientsAsk) {
    const Pki &pki = Pki::get();
    ASSERT_TRUE(pki.ok());
    std::string conf = ::testing::TempDir() + "oramet-timed-tls-swap.conf";
    auto pair = [&](char cert, char key) {
        write_file(conf, "tls-listen = 127.0.10.3:" + std::to_string(kTlsPort) + "\ntls-certificate = " +
                             pki.chain(cert) + "\ntls-key = " + pki.key(key) + "\n");
    };
    pair('a', 'a');
    Server s("127.0.10.3", {"--config", conf, "--workers", "2"});
    START(s);
    TlsReply before = tls_talk(s.ip(), client_request("/?v=2.07"));
    ASSERT_NE(before.subject.find("leaf-a"), std::string::npos) << before.subject;
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, failed{0}, saw_b{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; ++i)
        clients.emplace_back([&] {
            while (!stop) {
                TlsReply r = tls_talk("127.0.10.3", client_request("/?v=2.07"));
                if (!r.handshake || !is_time_body(parse(r.raw).body)) ++failed;
                ++answered;
                if (r.subject.find("leaf-b") != std::string::npos) ++saw_b;
            }
        });
    EXPECT_TRUE(eventually([&] { return answered > 20; }));
    pair('b', 'b');
    kill(s.pid(), SIGHUP);
    EXPECT_TRUE(eventually([&] { return saw_b > 20; })) << s.log();
    size_t log_at = s.log().size();
    for (auto [cert, key] : {std::pair{'a', 'b'}, std::pair{'x', 'x'}}) {  // another's key; no such files
        SCOPED_TRACE(cert);
        pair(cert, key);
        kill(s.pid(), SIGHUP);
        size_t at = std::string::npos;
        EXPECT_TRUE(eventually([&] { return (at = s.log().find("certificate not reloaded", log_at)) != std::string::npos; }))
            << s.log();
        log_at = at + 1;
    }
    int seen = answered;
    EXPECT_TRUE(eventually([&] { return answered > seen + 20; }));
    stop = true;
    for (auto &t : clients) t.join();
    EXPECT_EQ(failed, 0) << answered << " answered";
    TlsReply after = tls_talk(s.ip(), client_request("/?v=2.07"));
    EXPECT_NE(after.subject.find("leaf-b"), std::string::npos) << "the bad pairs left leaf b serving";
    TlsOptions resume;
    resume.resume = before.session.get();
    EXPECT_TRUE(tls_talk(s.ip(), client_request("/?v=2.07"), resume).reused) << "tickets outlive the swap";
    EXPECT_FALSE(s.exited());
}
