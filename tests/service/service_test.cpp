// The clock service through the real service control manager of a prefix of
// its own: registered with sc as LocalService, asked on its pipe by clients
// of this process, and asked by the real main window whose SetLocalTime is
// refused. The service learns the loopback server from HKLM's Server value.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "res/texts.h"
#include "service/clock_contract.h"
#include "service/pipe_rules.h"
#include "sync/clock_ask.h"
#include "tests/support/loopback_server.h"
#include "tests/support/message_boxes.h"
#include "tests/support/proxy_settings.h"
#include "tests/support/tcp_counters.h"
#include "tests/sync/clock_window.h"

std::vector<SYSTEMTIME> SetLocalTimeRecorder::calls;
BOOL SetLocalTimeRecorder::result = TRUE;
DWORD SetLocalTimeRecorder::error = ERROR_INVALID_PARAMETER;

namespace {

const char kTimeIp[] = "127.0.0.100";      // answers the host's clock
const char kNobodyIp[] = "127.0.0.101";    // refuses connections
// Known only to the machine's proxy (the run script's squid), as kTimeIp.
const char kProxiedHost[] = "time.proxied.test";
const char kMachineProxy[] = "127.0.0.102:3128";
// The window's own time server where the service must not be asked.
const char kWindowTimeIp[] = "127.0.14.1";
// Serves the times the service must bound.
const char kBoundIp[] = "127.0.13.1";
constexpr int64_t kHour = 3600;
constexpr int64_t kNoValue = -1;
// The run script drops this user's packets to port 80 here; squid's get through.
const char kDroppedIp[] = "127.0.12.20";
const char kHttpsServer[] = "https://127.0.12.21";  // the script's, under its test root
const char kHttpsAheadServer[] = "https://127.0.12.22";  // the same, 16 hours ahead
// The service program's Windows path: the first argument GoogleTest leaves
// on the command line (the shared test entry point runs the tests).
const char* ServiceExe() { return __argc > 1 && __argv[1] != nullptr ? __argv[1] : ""; }

// The script's test root (the second argument) in the machine's ROOT store,
// the one LocalService sees.
bool TrustTestRootForTheMachine() {
  if (__argc < 3 || __argv[2] == nullptr) return false;
  std::ifstream file(__argv[2], std::ios::binary);
  std::string der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
  if (store == nullptr) return false;
  BOOL added = !der.empty() &&
               CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                reinterpret_cast<const BYTE*>(der.data()),
                                                static_cast<DWORD>(der.size()),
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(store, 0);
  return added != FALSE;
}

// Runs a command line to its end (at most 30 s); its exit code, or -1.
int Run(std::string commandLine) {
  // sc's report of every step would drown the test's own output.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                           nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = nul;
  PROCESS_INFORMATION process{};
  BOOL started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                nullptr, &startup, &process);
  CloseHandle(nul);
  if (!started) return -1;
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0)
    GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

int Sc(const std::string& arguments) { return Run("sc.exe " + arguments); }

SERVICE_STATUS_PROCESS Status() {
  SERVICE_STATUS_PROCESS status{};
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager ? OpenServiceA(manager, kClockServiceName, SERVICE_QUERY_STATUS) : nullptr;
  DWORD needed = 0;
  if (service == nullptr ||
      !QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &needed))
    status.dwCurrentState = 0;
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  return status;
}

// Polls until the service is in state, at most timeoutMs.
bool AwaitState(DWORD state, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  while (Status().dwCurrentState != state) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(50);
  }
  return true;
}

// The native view by default, as reg add and the setup programs write it;
// KEY_WOW64_32KEY for the view a 32-bit program reads unless told otherwise.
// A null host deletes the value.
void SetMachineServer(const char* host, REGSAM view = KEY_WOW64_64KEY) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0,
                            KEY_SET_VALUE | view, nullptr, &key, nullptr), ERROR_SUCCESS);
  if (host == nullptr)
    RegDeleteValueA(key, "Server");
  else
    RegSetValueExA(key, "Server", 0, REG_SZ, reinterpret_cast<const BYTE*>(host),
                   static_cast<DWORD>(std::strlen(host) + 1));
  RegCloseKey(key);
}

// The administrator's bounds on a plain time, in the native view as the
// server; kNoValue deletes a value.
void SetMachineBounds(int64_t ahead, int64_t behind) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0,
                            KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const struct {
    const char* name;
    int64_t value;
  } bounds[] = {{"MaxPosPhaseCorrection", ahead}, {"MaxNegPhaseCorrection", behind}};
  for (const auto& b : bounds) {
    DWORD value = static_cast<DWORD>(b.value);
    if (b.value == kNoValue)
      RegDeleteValueA(key, b.name);
    else
      RegSetValueExA(key, b.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                     sizeof value);
  }
  RegCloseKey(key);
}

// The replies match, but a TOOFAR's seconds may differ by the second or two
// between the reply's making and the service's reading of its clock.
bool SameReply(const std::string& expected, const std::string& actual) {
  const char prefix[] = "TOOFAR ";
  if (expected.rfind(prefix, 0) != 0 || actual.rfind(prefix, 0) != 0) return expected == actual;
  char* end = nullptr;
  long long got = std::strtoll(actual.c_str() + sizeof prefix - 1, &end, 10);
  return *end == '\0' && std::llabs(got - std::atoll(expected.c_str() + sizeof prefix - 1)) <= 2;
}

// One client: writes request as one message, reads the reply message.
// "<error n>" when it cannot connect, "<not sent>" when the service cuts the
// connection before the request is written (or cannot set the message
// mode), "<no reply>" when it cuts it after. sent, when given, counts the
// written request.
std::string Ask(const std::string& request, std::atomic<int>* sent = nullptr) {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (int tries = 0; tries < 50 && pipe == INVALID_HANDLE_VALUE; ++tries) {
    pipe = CreateFileA(kClockPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY)
      WaitNamedPipeA(kClockPipeName, 1000);
  }
  if (pipe == INVALID_HANDLE_VALUE) return "<error " + std::to_string(GetLastError()) + ">";
  DWORD mode = PIPE_READMODE_MESSAGE;
  std::string reply = "<not sent>";
  DWORD bytes = 0;
  char buffer[256] = {};
  if (SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) &&
      WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &bytes, nullptr)) {
    if (sent != nullptr) ++*sent;
    reply = ReadFile(pipe, buffer, sizeof buffer, &bytes, nullptr) ? std::string(buffer, bytes)
                                                                  : "<no reply>";
  }
  CloseHandle(pipe);
  return reply;
}

// The rate limit reuses an exchange that ended under 2 s ago; a case that
// needs a fresh one waits this long.
void AwaitFreshExchange() { Sleep(kClockReuseMs + 300); }

// A real main window as well, for the case where the program asks.
class ClockService : public ClockWindow {
protected:
  static void SetUpTestSuite() {
    SetMachineServer(kTimeIp);
    // As `netsh winhttp set proxy` stores it: flags 3, a proxy, and an
    // exceptions list of 4 KB, as group policy pushes them, naming none of
    // the tests' hosts.
    std::string bypass;
    while (bypass.size() < 4096) bypass += "*.site" + std::to_string(bypass.size()) + ".corp;";
    ASSERT_TRUE(StoreProxySettings(HKEY_LOCAL_MACHINE, "WinHttpSettings", 0x18, 3,
                                   {kMachineProxy, bypass}));
    ASSERT_TRUE(TrustTestRootForTheMachine()) << "usage: service_tests SERVICE_EXE ROOT_DER";
    Sc("delete OrametClock");  // what an aborted run may have left
    ASSERT_STRNE(ServiceExe(), "") << "usage: service_tests SERVICE_EXE_WINDOWS_PATH";
    std::string create = std::string("create OrametClock binPath= \"") + ServiceExe() +
                         "\" obj= \"NT AUTHORITY\\LocalService\"";
    ASSERT_EQ(Sc(create), 0);
    ASSERT_EQ(Sc("start OrametClock"), 0);
    ASSERT_TRUE(AwaitState(SERVICE_RUNNING, 10000));
  }
  static void TearDownTestSuite() {
    Sc("stop OrametClock");
    AwaitState(SERVICE_STOPPED, 10000);
    Sc("delete OrametClock");
  }
  void SetUp() override {
    ClockWindow::SetUp();
    SetMachineServer(kTimeIp);
    SetMachineBounds(kNoValue, kNoValue);
  }
  // The window synchronises with host as a standard user would: its own set
  // of the clock is refused, so it asks the service.
  void SyncRefused(const char* host) {
    lstrcpynA(window.serverHost, host, sizeof window.serverHost);
    SetLocalTimeRecorder::result = FALSE;
    SetLocalTimeRecorder::error = ERROR_PRIVILEGE_NOT_HELD;
    window.SyncNow();
  }
};

TEST_F(ClockService, AnswersEveryRequestByTheContract) {
  LoopbackServer server(kTimeIp);
  LoopbackServer bounded(kBoundIp);
  ASSERT_TRUE(server.listening());
  ASSERT_TRUE(bounded.listening());
  // A reply an hour before the build (and so never set by Wine) as a step
  // from now.
  const int64_t beforeBuild =
      int64_t{ORAMET_BUILD_TIME} - kHour - static_cast<int64_t>(std::time(nullptr));
  const struct {
    const char* name;
    std::vector<ServerStep> script;  // empty: the request reaches no server
    const char* host;
    std::string request;
    std::string reply;
    const char* otherViewHost = nullptr;  // the 32-bit view's Server
    int64_t maxPos = kNoValue;            // MaxPosPhaseCorrection
    int64_t maxNeg = kNoValue;
  } cases[] = {
      {"time", {CurrentTime()}, kTimeIp, "SYNC", "OK"},
      {"maintenance", {HttpReply("~")}, kTimeIp, "SYNC", "FETCHFAIL 0"},
      {"garbage", {HttpReply("12345678x0y")}, kTimeIp, "SYNC", "FETCHFAIL 0"},
      {"no HTTP", {Reply("garbage")}, kTimeIp, "SYNC", "FETCHFAIL -6"},
      {"through the machine's proxy", {CurrentTime()}, kProxiedHost, "SYNC", "OK"},
      // The proxy cannot reach it either: the direct exchange's result stands.
      {"unreachable", {}, kNobodyIp, "SYNC", "FETCHFAIL -3"},
      {"lower case", {}, kTimeIp, "sync", "BAD"},
      {"line end", {}, kTimeIp, "SYNC\r\n", "BAD"},
      {"empty", {}, kTimeIp, "", "BAD"},
      {"64 bytes", {}, kTimeIp, std::string(64, 'S'), "BAD"},
      {"64 KB", {}, kTimeIp, "SYNC" + std::string(65532, 'x'), "BAD"},
      // Drained only so far, however fast it comes: the connection is cut.
      {"64 MB", {}, kTimeIp, "SYNC" + std::string((64 << 20) - 4, 'x'), "<not sent>"},
      {"native view only", {CurrentTime()}, kTimeIp, "SYNC", "OK", kNobodyIp},
      // A plain time within 15 hours of the clock the service found reaches
      // SetSystemTime, which Wine refuses for any time but now; beyond, it
      // is refused, and steps never move what it is measured from.
      {"16 hours ahead", {CurrentTime(16 * kHour)}, kBoundIp, "SYNC", "TOOFAR 57600"},
      {"14 hours ahead", {CurrentTime(14 * kHour)}, kBoundIp, "SYNC", "SETFAIL 1314"},
      {"10 hours ahead", {CurrentTime(10 * kHour)}, kBoundIp, "SYNC", "SETFAIL 1314"},
      {"10 hours further", {CurrentTime(20 * kHour)}, kBoundIp, "SYNC", "TOOFAR 72000"},
      {"the administrator's bound", {CurrentTime(2 * kHour)}, kBoundIp, "SYNC", "TOOFAR 7200",
       nullptr, 3600},
      {"no bound", {CurrentTime(20 * kHour)}, kBoundIp, "SYNC", "SETFAIL 1314", nullptr,
       0xFFFFFFFF, 0xFFFFFFFF},
      {"before the build", {CurrentTime(beforeBuild)}, kBoundIp, "SYNC",
       "TOOFAR " + std::to_string(beforeBuild), nullptr, 0xFFFFFFFF, 0xFFFFFFFF},
      // Authenticated at the time it sent, by a chain valid then: no bound.
      {"16 hours ahead over https", {}, kHttpsAheadServer, "SYNC", "SETFAIL 1314"},
      {"an https server", {}, kHttpsServer, "SYNC", "OK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer& asked = c.host == kBoundIp ? bounded : server;
    size_t requestsBefore = asked.requests().size();
    if (!c.script.empty()) asked.SetScript(c.script);
    SetMachineServer(c.host);
    SetMachineServer(c.otherViewHost, KEY_WOW64_32KEY);
    SetMachineBounds(c.maxPos, c.maxNeg);
    if (c.request == "SYNC") AwaitFreshExchange();
    std::string reply = Ask(c.request);
    EXPECT_PRED2(SameReply, c.reply, reply);
    size_t expected = c.script.empty() ? 0 : 1;
    EXPECT_EQ(asked.requests().size() - requestsBefore, expected);
  }
}

TEST_F(ClockService, ABurstOfClientsCostsOneExchange) {
  // The program's own ask, twenty at once: more clients than instances, so
  // some find them all busy and must wait and try again within their time.
  LoopbackServer server(kTimeIp, {CurrentTime()});
  ASSERT_TRUE(server.listening());
  AwaitFreshExchange();
  constexpr int kClients = 20;
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(go, nullptr);
  std::vector<int> answered(kClients, -1);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&answered, go, i] {
      WaitForSingleObject(go, 10000);
      answered[i] = AskClockService(kClockAskTimeoutMs) ? 1 : 0;
    });
  }
  SetEvent(go);
  for (std::thread& client : clients) client.join();
  CloseHandle(go);
  for (int i = 0; i < kClients; ++i) EXPECT_EQ(answered[i], 1) << "client " << i;
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(ClockService, OneUserHoldsHalfTheInstancesAndTheRestStayFree) {
  // Sixteen clients of this one user (under Wine every client is the same
  // user) ask at once while the server is silent: half hold instances in
  // the exchange, the others are turned away unread at once, and the
  // instances left are free for other users: the next client finds one.
  LoopbackServer server(kTimeIp, {Silent()});
  ASSERT_TRUE(server.listening());
  AwaitFreshExchange();
  constexpr int kClients = kPipeInstances;
  std::atomic<int> done{0};
  std::vector<std::string> replies(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&replies, &done, i] {
      replies[i] = Ask("SYNC");
      ++done;
    });
  }
  for (int i = 0; i < 200 && done < kClients - kUserShare; ++i) Sleep(25);
  EXPECT_EQ(done, kClients - kUserShare) << "clients over the share were not turned away";
  HANDLE extra = CreateFileA(kClockPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(extra, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  if (extra != INVALID_HANDLE_VALUE) CloseHandle(extra);
  for (std::thread& client : clients) client.join();
  int answered = 0;
  int turnedAway = 0;
  for (const std::string& reply : replies) {
    if (reply.rfind("FETCHFAIL ", 0) == 0) ++answered;
    if (reply == "<not sent>" || reply == "<no reply>") ++turnedAway;
  }
  EXPECT_EQ(answered, kUserShare);
  EXPECT_EQ(turnedAway, kClients - kUserShare);
  EXPECT_EQ(server.connections(), 1);
}

TEST_F(ClockService, ASilentClientBlocksNoOther) {
  HANDLE silent = CreateFileA(kClockPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(silent, INVALID_HANDLE_VALUE);
  DWORD start = GetTickCount();
  EXPECT_EQ(Ask("HELLO"), "BAD");
  EXPECT_LT(GetTickCount() - start, 1500u) << "the other client waited for the silent one";
  // The service gives up on the silent client and disconnects it.
  char buffer[16];
  DWORD bytes = 0;
  EXPECT_FALSE(ReadFile(silent, buffer, sizeof buffer, &bytes, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_NOT_CONNECTED));
  CloseHandle(silent);
}

TEST_F(ClockService, ProgramRefusedTheClockHasTheServiceSetIt) {
  // A time the service refuses (TOOFAR) is a failed set like any other.
  const struct {
    int64_t offsetSeconds;
    const char* status;
  } cases[] = {{0, kTextSetTimeOk}, {16 * kHour, kTextSetTimeFailed}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offsetSeconds);
    LoopbackServer server(kTimeIp, {CurrentTime(c.offsetSeconds)});
    ASSERT_TRUE(server.listening());
    AwaitFreshExchange();
    MessageBoxRecorder boxes;
    SyncRefused(kTimeIp);
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(Text(IDC_STATUS), c.status);
    // The window's request, then the service's.
    EXPECT_EQ(server.requests().size(), 2u);
  }
}

TEST_F(ClockService, WhereOnlyTheProxyGetsOutTheStatusLineTellsWhatTheServiceDid) {
  // The service waits out its dropped direct connect before it asks the
  // proxy; the program's ask must wait for that answer.
  LoopbackServer server(kDroppedIp, {CurrentTime()});
  ASSERT_TRUE(server.listening());
  SetMachineServer(kDroppedIp);
  // The window's own exchange goes through the proxy too.
  ASSERT_TRUE(StoreProxySettings(HKEY_CURRENT_USER, "DefaultConnectionSettings", 0x46, 2,
                                 {kMachineProxy, "", ""}));
  AwaitFreshExchange();
  MessageBoxRecorder boxes;
  SyncRefused(kDroppedIp);
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_EQ(Text(IDC_STATUS), kTextSetTimeOk);
  EXPECT_EQ(server.requests().size(), 2u);
  // The next exchange takes the proxy at once: no connection request is
  // sent again for want of an answer.
  AwaitFreshExchange();
  long resent = TcpCounter("TCPSynRetrans");
  EXPECT_EQ(Ask("SYNC"), "OK");
  EXPECT_EQ(TcpCounter("TCPSynRetrans") - resent, 0);
  EXPECT_EQ(server.requests().size(), 3u);
  ASSERT_TRUE(StoreProxySettings(HKEY_CURRENT_USER, "DefaultConnectionSettings", 0x46, 1,
                                 {"", "", ""}));
}

TEST_F(ClockService, StopsWithinItsWaitHintDuringAnExchange) {
  LoopbackServer server(kTimeIp, {Silent()});
  ASSERT_TRUE(server.listening());
  AwaitFreshExchange();
  std::string reply;
  std::thread client([&reply] { reply = Ask("SYNC"); });
  for (int i = 0; i < 100 && server.connections() == 0; ++i) Sleep(50);
  ASSERT_EQ(server.connections(), 1) << "the service never asked the server";
  ASSERT_EQ(Sc("stop OrametClock"), 0);
  SERVICE_STATUS_PROCESS pending = Status();
  DWORD start = GetTickCount();
  EXPECT_TRUE(AwaitState(SERVICE_STOPPED, pending.dwWaitHint + 1000))
      << "hint " << pending.dwWaitHint << " ms, state " << Status().dwCurrentState;
  EXPECT_LE(GetTickCount() - start, pending.dwWaitHint + 1000);
  client.join();
  EXPECT_NE(reply, "OK");
  // Back as the other cases expect it.
  EXPECT_EQ(Sc("start OrametClock"), 0);
  EXPECT_TRUE(AwaitState(SERVICE_RUNNING, 10000));
}

// Starts service_squatter.exe, beside this test, to hold the pipe's name
// until stop is set; its process, once the name is there, else null.
HANDLE StartSquatter(HANDLE stop) {
  char path[MAX_PATH];
  std::string program(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
  program.replace(program.find_last_of('\\') + 1, std::string::npos, "service_squatter.exe");
  std::string commandLine = "squatter " + std::to_string(reinterpret_cast<uintptr_t>(stop));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &startup, &process))
    return nullptr;
  CloseHandle(process.hThread);
  for (int i = 0; i < 200 && !WaitNamedPipeA(kClockPipeName, 1); ++i) Sleep(25);
  return process.hProcess;
}

TEST_F(ClockService, ASquatterIsNotBelievedAndTheServiceTakesThePipeOnceItIsGone) {
  LoopbackServer server(kWindowTimeIp, {CurrentTime()});
  ASSERT_TRUE(server.listening());
  ASSERT_EQ(Sc("stop OrametClock"), 0);
  ASSERT_TRUE(AwaitState(SERVICE_STOPPED, 10000));
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE stop = CreateEventA(&inherit, TRUE, FALSE, nullptr);
  HANDLE squatter = StartSquatter(stop);
  ASSERT_NE(squatter, nullptr);
  EXPECT_EQ(Sc("start OrametClock"), 0);
  // The program's ask reaches the squatter, which would answer "OK".
  MessageBoxRecorder boxes;
  SyncRefused(kWindowTimeIp);
  EXPECT_EQ(Text(IDC_STATUS), kTextSetTimeFailed);
  EXPECT_EQ(server.requests().size(), 1u);
  // Meanwhile the service waits for the name, its checkpoints rising.
  for (int i = 0; i < 100 && Status().dwCheckPoint < 3; ++i) Sleep(50);
  SERVICE_STATUS_PROCESS waiting = Status();
  EXPECT_EQ(waiting.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_GE(waiting.dwCheckPoint, 3u);
  SetEvent(stop);
  DWORD received = static_cast<DWORD>(-1);
  if (WaitForSingleObject(squatter, 10000) == WAIT_OBJECT_0) GetExitCodeProcess(squatter, &received);
  EXPECT_EQ(received, 0u) << "request bytes sent to the squatter";
  CloseHandle(squatter);
  CloseHandle(stop);
  // Gone: the service holds the pipe by itself, and answers by the contract.
  EXPECT_TRUE(AwaitState(SERVICE_RUNNING, 10000)) << "state " << Status().dwCurrentState;
  EXPECT_EQ(Ask("HELLO"), "BAD");
}

TEST_F(ClockService, InstallingOverItRestartsItWithItsOwnSid) {
  // The setup program's /install over the running service: a service SID
  // enters the token only at a start, so the old process must end.
  HANDLE before = OpenProcess(SYNCHRONIZE, FALSE, Status().dwProcessId);
  ASSERT_NE(before, nullptr);
  EXPECT_EQ(::Run("\"" + std::string(ServiceExe()) + "\" /install"), 0);
  EXPECT_EQ(WaitForSingleObject(before, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(before);
  EXPECT_TRUE(AwaitState(SERVICE_RUNNING, 10000));
  EXPECT_EQ(Ask("HELLO"), "BAD");

  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceA(manager, kClockServiceName, SERVICE_QUERY_CONFIG);
  // Vista's levels 5 and 4: the service SID's type and the failure-actions flag.
  DWORD sidType = 0xdeadbeef, onErrors = 0xdeadbeef, needed = 0;
  BOOL haveSidType =
      QueryServiceConfig2A(service, 5, reinterpret_cast<BYTE*>(&sidType), 4, &needed);
  DWORD error = GetLastError();
  BOOL haveFlag = QueryServiceConfig2A(service, 4, reinterpret_cast<BYTE*>(&onErrors), 4, &needed);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (!haveSidType && error == ERROR_INVALID_LEVEL)
    GTEST_SKIP() << "this SCM (Wine's) keeps no SID type; the restart is checked";
  EXPECT_EQ(sidType, 1u) << "SERVICE_SID_TYPE_UNRESTRICTED";
  EXPECT_TRUE(haveFlag && onErrors == 1u) << "fFailureActionsOnNonCrashFailures " << onErrors;
}

}  // namespace
