// End-to-end probe: serves the time protocol on one loopback address, starts
// the real oramet.exe against it, watches the program's window from outside
// (control texts, visibility, message boxes), then closes it with IDCANCEL
// and checks the exit code.
//
// Usage: probe.exe ORAMET_EXE SERVER_IP HANDSHAKE_DIR [--no-sync]
// HANDSHAKE_DIR gets a file "ready" while the window shows the live clock;
// the probe then waits (bounded) for a file "shot-done" so that the caller
// can take a screenshot.
#include <winsock2.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "res/resource.h"
#include "res/texts.h"

namespace {

constexpr DWORD kStartBound = 30000;  // generous: a cold Wine start is slow
constexpr DWORD kSyncBound = 30000;
constexpr DWORD kShotBound = 30000;
constexpr DWORD kExitBound = 30000;
const char kBannerLink[] = "http://example.test/";
const char kBannerText[] = "欢迎使用 Oramet 网络校时";

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

// Escapes bytes outside printable ASCII so that a log shows them exactly.
std::string Shown(const std::string& bytes) {
  std::string out;
  char hex[8];
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// --- The time server ------------------------------------------------------

// Answers each request with the host's clock at the moment of the reply, so
// that the program sets its clock only to the true current time.
class TimeServer {
public:
  bool Start(const char* ip) {
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = inet_addr(ip);
    BOOL reuse = TRUE;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
               sizeof reuse);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 8) != 0) {
      closesocket(listener_);
      listener_ = INVALID_SOCKET;
      return false;
    }
    thread_ = std::thread([this] { Serve(); });
    return true;
  }

  void Stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    listener_ = INVALID_SOCKET;
  }

  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

private:
  void Serve() {
    while (!stopping_) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(listener_, &readable);
      timeval wait{0, 100000};
      if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
      SOCKET client = accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) continue;
      Answer(client);
      closesocket(client);
    }
  }

  void Answer(SOCKET client) {
    std::string request;
    char buffer[2048];
    DWORD timeout = 5000;
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 8192) {
      int n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, n);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    std::string body;
    if (request.compare(0, 9, "GET /ad/ ") == 0) {
      body = std::string(kBannerLink) + "\t" + kBannerText;
    } else {
      FILETIME now;
      GetSystemTimeAsFileTime(&now);
      ULARGE_INTEGER ticks;
      ticks.LowPart = now.dwLowDateTime;
      ticks.HighPart = now.dwHighDateTime;
      unsigned long long unixMillis = ticks.QuadPart / 10000 - 11644473600000ULL;
      char text[32];
      std::snprintf(text, sizeof text, "%llu%03llu", unixMillis / 1000, unixMillis % 1000);
      body = text;
    }
    std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    send(client, reply.data(), static_cast<int>(reply.size()), 0);
    shutdown(client, SD_SEND);
  }

  SOCKET listener_ = INVALID_SOCKET;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

// --- The program's settings -------------------------------------------------

const char kSettingsKey[] = "SOFTWARE\\Velmora\\Adjust";

void ResetSettings(const char* server) {
  RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
  if (server == nullptr) return;
  HKEY key = nullptr;
  if (RegCreateKeyA(HKEY_CURRENT_USER, kSettingsKey, &key) != ERROR_SUCCESS) {
    Check(false, "create the settings key");
    return;
  }
  LONG r = RegSetValueExA(key, "Server", 0, REG_SZ, reinterpret_cast<const BYTE*>(server),
                          static_cast<DWORD>(std::strlen(server)));
  Check(r == ERROR_SUCCESS, std::string("Server value set to ") + server);
  RegCloseKey(key);
}

// --- The program's windows ------------------------------------------------

struct Box {
  std::string caption;
  std::string text;
};

struct Program {
  PROCESS_INFORMATION process{};
  HWND main = nullptr;
  std::vector<Box> boxes;
};

std::string TextOf(HWND window) {
  char text[1024] = {};
  DWORD_PTR length = 0;
  // The program may be inside a blocking exchange; never wait for ever.
  if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                           SMTO_ABORTIFHUNG, 5000, &length)) {
    return "<no answer>";
  }
  return std::string(text, length);
}

std::string ClassOf(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

DWORD ProcessOf(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid;
}

// Records and dismisses every message box of the program; finds its main
// window on the way.
struct ScanContext {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectDialogs(HWND window, LPARAM param) {
  auto* c = reinterpret_cast<ScanContext*>(param);
  if (ProcessOf(window) == c->pid && ClassOf(window) == "#32770") c->found.push_back(window);
  return TRUE;
}

void Scan(Program& program) {
  ScanContext context{program.process.dwProcessId, {}};
  EnumWindows(CollectDialogs, reinterpret_cast<LPARAM>(&context));
  for (HWND window : context.found) {
    std::string caption = TextOf(window);
    if (caption == kTextCaption && GetWindow(window, GW_OWNER) == nullptr) {
      program.main = window;
      continue;
    }
    HWND text = GetDlgItem(window, 0xFFFF);
    if (text == nullptr || !IsWindowVisible(window)) continue;
    Box box{caption, TextOf(text)};
    std::printf("box  owner=%s caption=\"%s\" text=\"%s\"\n",
                GetWindow(window, GW_OWNER) == program.main ? "main" : "other",
                Shown(box.caption).c_str(), Shown(box.text).c_str());
    program.boxes.push_back(box);
    PostMessageA(window, WM_COMMAND, IDOK, 0);
  }
}

// Polls until done() or the bound; scans for boxes in between.
template <class Done>
bool WaitFor(Program& program, DWORD bound, Done done) {
  DWORD start = GetTickCount();
  for (;;) {
    Scan(program);
    if (done()) return true;
    if (GetTickCount() - start > bound) return false;
    if (WaitForSingleObject(program.process.hProcess, 100) == WAIT_OBJECT_0) {
      Scan(program);
      return done();
    }
  }
}

// --- What the window must show ------------------------------------------------

struct Expected {
  int id;
  const char* cls;
  const char* text;  // nullptr: not checked here
  bool visible;
};

// The controls in creation order.
const Expected kControls[] = {
    {IDC_ZONE_LINK, "Static", nullptr, true},
    {IDC_DATE, "Static", nullptr, true},
    {IDC_TIME, "Static", nullptr, true},
    {IDC_LABEL, "Static", kTextAlarm, true},
    {IDC_ALARM_HOUR, "Edit", "", true},
    {IDC_LABEL, "Static", kTextHour, true},
    {IDC_ALARM_MINUTE, "Edit", "", true},
    {IDC_LABEL, "Static", kTextMinute, true},
    {IDC_LABEL, "Static", kTextCancel, false},
    {IDC_LABEL, "Static", kTextEvery, true},
    {IDC_INTERVAL, "Edit", nullptr, true},
    {IDC_UNIT, "Static", nullptr, true},
    {IDC_UNIT, "Static", kTextAutoSync, true},
    {IDC_INTERVAL_SAVE, "Static", kTextSave, false},
    {IDC_AUTOSTART, "Button", kTextAutoStart, true},
    {IDC_BANNER, "Static", nullptr, true},
    {IDC_SYNC_NOW, "Button", kTextSyncNow, true},
    {IDC_FETCH_COUNT, "Static", nullptr, true},
    {IDC_STATUS, "Static", nullptr, true},
};

void CheckControls(HWND main) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(main, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    children.push_back(child);
  }
  Check(children.size() == 19, "19 controls (found " + std::to_string(children.size()) + ")");
  for (size_t i = 0; i < children.size() && i < 19; ++i) {
    const Expected& e = kControls[i];
    HWND c = children[i];
    std::string row = "row " + std::to_string(i + 1) + ": ";
    Check(GetDlgCtrlID(c) == e.id, row + "id " + std::to_string(GetDlgCtrlID(c)));
    Check(lstrcmpiA(ClassOf(c).c_str(), e.cls) == 0, row + "class " + ClassOf(c));
    if (e.text != nullptr) {
      std::string text = TextOf(c);
      Check(text == e.text, row + "text \"" + Shown(text) + "\"");
    }
    Check((IsWindowVisible(c) != FALSE) == e.visible,
          row + (IsWindowVisible(c) ? "visible" : "hidden"));
  }
}

// The clock lines as the program formats a local time.
void ClockLines(const SYSTEMTIME& t, std::string& date, std::string& time) {
  char line[128];
  std::snprintf(line, sizeof line, kTextDateFormat, t.wYear, t.wMonth, t.wDay,
                kWeekdayNames[t.wDayOfWeek % 7]);
  date = line;
  std::snprintf(line, sizeof line, kTextTimeFormat, t.wHour, t.wMinute, t.wSecond);
  time = line;
}

// True when the two lines show the local time within a few seconds of now.
bool ShowsNow(const std::string& date, const std::string& time) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  for (int shift = -5; shift <= 5; ++shift) {
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    t.QuadPart += static_cast<long long>(shift) * 10000000LL;
    FILETIME utc{t.LowPart, t.HighPart}, local;
    SYSTEMTIME fields;
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &fields);
    std::string d, h;
    ClockLines(fields, d, h);
    if (d == date && h == time) return true;
  }
  return false;
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: probe ORAMET_EXE SERVER_IP HANDSHAKE_DIR [--no-sync]\n");
    return 2;
  }
  const std::string exe = argv[1];
  const char* ip = argv[2];
  const std::string dir = argv[3];
  const bool expectSync = !(argc > 4 && std::strcmp(argv[4], "--no-sync") == 0);
  DeleteFileA((dir + "\\ready").c_str());
  DeleteFileA((dir + "\\shot-done").c_str());

  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  TimeServer server;
  if (!server.Start(ip)) {
    Check(false, std::string("time server listening on ") + ip + ":80");
    return 1;
  }
  ResetSettings(ip);

  Program program;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  std::string commandLine = "\"" + exe + "\"";
  if (!CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &program.process)) {
    Check(false, "start " + exe + " (error " + std::to_string(GetLastError()) + ")");
    server.Stop();
    ResetSettings(nullptr);
    return 1;
  }

  bool found = WaitFor(program, kStartBound,
                       [&] { return program.main != nullptr && IsWindowVisible(program.main); });
  Check(found, "main window \"Oramet 2.07\" shown");
  if (found) {
    RECT r{};
    GetWindowRect(program.main, &r);
    Check(r.right - r.left == 580 && r.bottom - r.top == 380,
          "outer size " + std::to_string(r.right - r.left) + "x" +
              std::to_string(r.bottom - r.top));
    CheckControls(program.main);
    HWND date = GetDlgItem(program.main, IDC_DATE);
    HWND time = GetDlgItem(program.main, IDC_TIME);
    HWND banner = GetDlgItem(program.main, IDC_BANNER);

    if (expectSync) {
      bool changed = WaitFor(program, kSyncBound, [&] {
        return TextOf(date) != kTextDatePlaceholder && TextOf(time) != kTextTimePlaceholder;
      });
      Check(changed, "clock lines left their placeholders");
      std::string d = TextOf(date), t = TextOf(time);
      Check(ShowsNow(d, t), "clock shows the server's time: \"" + Shown(d) + "\" \"" +
                                Shown(t) + "\"");
      bool bannerShown = WaitFor(program, kSyncBound, [&] { return TextOf(banner) == kBannerText; });
      Check(bannerShown, "banner shows \"" + Shown(TextOf(banner)) + "\"");

      char count[32];
      std::snprintf(count, sizeof count, kTextFetchCountFormat, 1);
      std::string fetched = TextOf(GetDlgItem(program.main, IDC_FETCH_COUNT));
      Check(fetched == count, "fetch count \"" + Shown(fetched) + "\"");
      std::string status = TextOf(GetDlgItem(program.main, IDC_STATUS));
      // Whether Wine accepts the new time depends on how fast the reply got
      // there; either way the outcome must be reported.
      Check(status == kTextSetTimeOk || status == kTextSetTimeFailed,
            "status \"" + Shown(status) + "\"");

      std::vector<std::string> requests = server.Requests();
      std::string host = std::string("Host: ") + ip + "\r\n";
      Check(!requests.empty() &&
                requests[0] == "GET /?v=2.07 HTTP/1.1\r\n" + host + "User-Agent: Horalin\r\n\r\n",
            "time request " + (requests.empty() ? std::string("missing") : Shown(requests[0])));
      bool bannerAsked = false;
      for (const std::string& r : requests) {
        bannerAsked |= r == "GET /ad/ HTTP/1.1\r\n" + host + "User-Agent: Horalin\r\n\r\n";
      }
      Check(bannerAsked, "banner request sent");
    } else {
      // Let a few clock ticks run so that a crash in them still shows.
      WaitFor(program, 2000, [] { return false; });
      std::printf("note time synchronisation not expected yet (--no-sync)\n");
    }

    // Hold the window still while the caller takes its screenshot.
    HANDLE ready = CreateFileA((dir + "\\ready").c_str(), GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    WaitFor(program, kShotBound, [&] { return FileExists(dir + "\\shot-done"); });

    Check(program.boxes.empty(), "no message box (" + std::to_string(program.boxes.size()) + ")");
    PostMessageA(program.main, WM_COMMAND, IDCANCEL, 0);
  }

  DWORD exitCode = 0xdeadbeef;
  if (WaitForSingleObject(program.process.hProcess, kExitBound) != WAIT_OBJECT_0) {
    Check(false, "program ended after IDCANCEL");
    TerminateProcess(program.process.hProcess, 99);
    WaitForSingleObject(program.process.hProcess, 5000);
  }
  GetExitCodeProcess(program.process.hProcess, &exitCode);
  Check(exitCode == 2, "exit code " + std::to_string(exitCode));
  CloseHandle(program.process.hThread);
  CloseHandle(program.process.hProcess);

  server.Stop();
  ResetSettings(nullptr);
  WSACleanup();
  std::printf("%s: %d failed check(s)\n", g_failures ? "FAILED" : "PASSED", g_failures);
  return g_failures ? 1 : 0;
}
