// The clock service through the real service control manager of a prefix of
// its own: registered with sc as LocalService, asked on its pipe by clients
// of this process, and asked by the real main window whose SetLocalTime is
// refused. The service learns the loopback server from HKLM's Server value.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "res/texts.h"
#include "service/clock_contract.h"
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
// The run script drops this user's packets to port 80 here; squid's get through.
const char kDroppedIp[] = "127.0.12.20";
const char kHttpsServer[] = "https://127.0.12.21";  // the script's, under its test root
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

SERVICE_STATUS Status() {
  SERVICE_STATUS status{};
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager ? OpenServiceA(manager, kClockServiceName, SERVICE_QUERY_STATUS) : nullptr;
  if (service == nullptr || !QueryServiceStatus(service, &status)) status.dwCurrentState = 0;
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

// One client: writes request as one message, reads the reply message.
// "<error n>" when a step fails. sent, when given, counts the written request.
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
  std::string reply = "<error set mode>";
  DWORD bytes = 0;
  char buffer[256] = {};
  if (SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) &&
      WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &bytes, nullptr)) {
    if (sent != nullptr) ++*sent;
    reply = ReadFile(pipe, buffer, sizeof buffer, &bytes, nullptr)
                ? std::string(buffer, bytes)
                : "<error " + std::to_string(GetLastError()) + ">";
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
  }
};

TEST_F(ClockService, AnswersEveryRequestByTheContract) {
  LoopbackServer server(kTimeIp);
  ASSERT_TRUE(server.listening());
  const struct {
    const char* name;
    std::vector<ServerStep> script;  // empty: the request reaches no server
    const char* host;
    std::string request;
    std::string reply;
    const char* otherViewHost = nullptr;  // the 32-bit view's Server
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
      {"native view only", {CurrentTime()}, kTimeIp, "SYNC", "OK", kNobodyIp},
      {"an https server", {}, kHttpsServer, "SYNC", "OK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    size_t requestsBefore = server.requests().size();
    if (!c.script.empty()) server.SetScript(c.script);
    SetMachineServer(c.host);
    SetMachineServer(c.otherViewHost, KEY_WOW64_32KEY);
    if (c.request == "SYNC") AwaitFreshExchange();
    EXPECT_EQ(Ask(c.request), c.reply);
    size_t expected = c.script.empty() ? 0 : 1;
    EXPECT_EQ(server.requests().size() - requestsBefore, expected);
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

TEST_F(ClockService, MakesInstancesAsClientsArriveUpToSixteen) {
  // Sixteen clients wait in one exchange with a silent server: each holds an
  // instance, the service may make no seventeenth, and the next client finds
  // the pipe busy.
  LoopbackServer server(kTimeIp, {Silent()});
  ASSERT_TRUE(server.listening());
  AwaitFreshExchange();
  constexpr int kHeld = 16;
  std::atomic<int> sent{0};
  std::vector<std::string> replies(kHeld);
  std::vector<std::thread> clients;
  for (int i = 0; i < kHeld; ++i)
    clients.emplace_back([&replies, &sent, i] { replies[i] = Ask("SYNC", &sent); });
  for (int i = 0; i < 200 && sent < kHeld; ++i) Sleep(25);
  EXPECT_EQ(sent, kHeld) << "the service took fewer clients at once";
  HANDLE extra = CreateFileA(kClockPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  DWORD error = GetLastError();
  EXPECT_EQ(extra, INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_PIPE_BUSY));
  if (extra != INVALID_HANDLE_VALUE) CloseHandle(extra);
  for (std::thread& client : clients) client.join();
  for (int i = 0; i < kHeld; ++i) EXPECT_EQ(replies[i].rfind("FETCHFAIL ", 0), 0u) << replies[i];
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
  LoopbackServer server(kTimeIp, {CurrentTime()});
  ASSERT_TRUE(server.listening());
  AwaitFreshExchange();
  MessageBoxRecorder boxes;
  lstrcpynA(window.serverHost, kTimeIp, sizeof window.serverHost);
  SetLocalTimeRecorder::result = FALSE;
  SetLocalTimeRecorder::error = ERROR_PRIVILEGE_NOT_HELD;
  window.SyncNow();
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_EQ(Text(IDC_STATUS), kTextSetTimeOk);
  // The window's request, then the service's.
  EXPECT_EQ(server.requests().size(), 2u);
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
  lstrcpynA(window.serverHost, kDroppedIp, sizeof window.serverHost);
  SetLocalTimeRecorder::result = FALSE;
  SetLocalTimeRecorder::error = ERROR_PRIVILEGE_NOT_HELD;
  window.SyncNow();
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
  SERVICE_STATUS pending = Status();
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

TEST_F(ClockService, APipeHeldByAnotherProgramFailsTheStart) {
  ASSERT_EQ(Sc("stop OrametClock"), 0);
  ASSERT_TRUE(AwaitState(SERVICE_STOPPED, 10000));
  HANDLE squatter = CreateNamedPipeA(kClockPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1,
                                     64, 64, 0, nullptr);
  ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
  Sc("start OrametClock");
  EXPECT_TRUE(AwaitState(SERVICE_STOPPED, 10000));
  EXPECT_NE(Status().dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
  CloseHandle(squatter);
  EXPECT_EQ(Sc("start OrametClock"), 0);
  EXPECT_TRUE(AwaitState(SERVICE_RUNNING, 10000));
}

}  // namespace
