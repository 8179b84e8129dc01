#include "tests/e2e/harness.h"

#include <psapi.h>
#include <winternl.h>

#include <cstdio>
#include <cstring>

#include "res/texts.h"

namespace {
int g_failures = 0;
}  // namespace

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

int Failures() { return g_failures; }

int Finish() {
  std::printf("%s: %d failed check(s)\n", g_failures ? "FAILED" : "PASSED", g_failures);
  return g_failures ? 1 : 0;
}

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

// --- The scripted time server -------------------------------------------------

Answer TimeAnswer() { return {Answer::Time, {}, 0}; }
Answer BodyAnswer(const std::string& body) { return {Answer::Body, body, 0}; }
Answer RawAnswer(const std::string& bytes) { return {Answer::Raw, bytes, 0}; }
Answer SilentAnswer() { return {Answer::Silent, {}, 0}; }
Answer CloseAnswer() { return {Answer::CloseAtOnce, {}, 0}; }
Answer RefuseAnswer(DWORD ms) { return {Answer::RefuseFor, {}, ms}; }

std::string HostTimeBody() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks;
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  unsigned long long unixMillis = ticks.QuadPart / 10000 - 11644473600000ULL;
  char text[32];
  std::snprintf(text, sizeof text, "%llu%03llu", unixMillis / 1000, unixMillis % 1000);
  return text;
}

namespace {
std::string Http200(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}
}  // namespace

ScriptedServer::Script BannerAndTime(const std::string& link, const std::string& text) {
  return [link, text](const std::string& request, int) {
    if (request.compare(0, 9, "GET /ad/ ") == 0) return BodyAnswer(link + "\t" + text);
    return TimeAnswer();
  };
}

bool ScriptedServer::Listen() {
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener_ == INVALID_SOCKET) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(80);
  address.sin_addr.s_addr = inet_addr(ip_.c_str());
  BOOL reuse = TRUE;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
             sizeof reuse);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 8) != 0) {
    closesocket(listener_);
    listener_ = INVALID_SOCKET;
    return false;
  }
  return true;
}

bool ScriptedServer::Start(const char* ip, Script script) {
  ip_ = ip;
  script_ = std::move(script);
  if (!Listen()) return false;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void ScriptedServer::Stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ != INVALID_SOCKET) closesocket(listener_);
  listener_ = INVALID_SOCKET;
}

std::vector<std::string> ScriptedServer::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void ScriptedServer::Serve() {
  while (!stopping_) {
    if (listener_ == INVALID_SOCKET) {
      // Rebinding can fail for a moment while the old socket goes away.
      if (!Listen()) Sleep(100);
      continue;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener_, &readable);
    timeval wait{0, 100000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
    SOCKET client = accept(listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    Handle(client);
    closesocket(client);
  }
}

void ScriptedServer::Handle(SOCKET client) {
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
  int n = count_++;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  Answer answer = script_(request, n);
  switch (answer.kind) {
    case Answer::Time:
    case Answer::Body: {
      // The clock is read as late as possible before the reply leaves.
      std::string reply = Http200(answer.kind == Answer::Time ? HostTimeBody() : answer.bytes);
      send(client, reply.data(), static_cast<int>(reply.size()), 0);
      shutdown(client, SD_SEND);
      break;
    }
    case Answer::Raw:
      send(client, answer.bytes.data(), static_cast<int>(answer.bytes.size()), 0);
      shutdown(client, SD_SEND);
      break;
    case Answer::Silent: {
      // Hold the connection until the client gives up (bounded).
      DWORD start = GetTickCount();
      while (!stopping_ && GetTickCount() - start < 15000) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(client, &readable);
        timeval wait{0, 100000};
        if (select(0, &readable, nullptr, nullptr, &wait) > 0 &&
            recv(client, buffer, sizeof buffer, 0) <= 0) {
          break;
        }
      }
      break;
    }
    case Answer::CloseAtOnce:
      break;
    case Answer::RefuseFor: {
      closesocket(listener_);
      listener_ = INVALID_SOCKET;
      DWORD start = GetTickCount();
      while (!stopping_ && GetTickCount() - start < answer.ms) Sleep(50);
      break;
    }
  }
}

// --- The program's settings -----------------------------------------------------

namespace {
const char kSettingsKey[] = "SOFTWARE\\Velmora\\Adjust";
}

void ResetSettings(const char* server) {
  RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
  if (server != nullptr) SetSetting("Server", server);
}

void SetSetting(const char* name, const char* value) {
  HKEY key = nullptr;
  if (RegCreateKeyA(HKEY_CURRENT_USER, kSettingsKey, &key) != ERROR_SUCCESS) {
    Check(false, "create the settings key");
    return;
  }
  LONG r = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>(std::strlen(value)));
  Check(r == ERROR_SUCCESS, std::string(name) + " set to " + value);
  RegCloseKey(key);
}

// --- The running program ----------------------------------------------------------

std::string TextOf(HWND window) {
  char text[4096] = {};
  DWORD_PTR length = 0;
  // The program may be inside a blocking exchange; never wait for ever.
  if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                           SMTO_ABORTIFHUNG, 5000, &length)) {
    return kNoAnswer;
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

namespace {
struct ScanContext {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectDialogs(HWND window, LPARAM param) {
  auto* c = reinterpret_cast<ScanContext*>(param);
  if (ProcessOf(window) == c->pid && ClassOf(window) == "#32770") c->found.push_back(window);
  return TRUE;
}
}  // namespace

Program::~Program() {
  if (process.hProcess == nullptr) return;
  if (Running()) {
    TerminateProcess(process.hProcess, 99);
    WaitForSingleObject(process.hProcess, 5000);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

bool Program::Start(const std::string& exe) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  std::string commandLine = "\"" + exe + "\"";
  if (!CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    Check(false, "start " + exe + " (error " + std::to_string(GetLastError()) + ")");
    process = {};
    return false;
  }
  return true;
}

void Program::Scan() {
  ScanContext context{process.dwProcessId, {}};
  EnumWindows(CollectDialogs, reinterpret_cast<LPARAM>(&context));
  std::set<HWND> present;
  for (HWND window : context.found) {
    if (main == nullptr && GetWindow(window, GW_OWNER) == nullptr &&
        TextOf(window) == kTextCaption) {
      main = window;
    }
    if (window == main) continue;
    HWND text = GetDlgItem(window, 0xFFFF);
    if (text == nullptr || !IsWindowVisible(window)) continue;
    // A box already told to close may still be there on the next scan; it
    // is recorded once and told again.
    if (dismissed_.count(window) == 0) {
      Box box{TextOf(window), TextOf(text)};
      // A box that closed while it was being read is the last one, gone.
      if (!IsWindow(window)) continue;
      // A box whose thread went on into a blocking exchange (a tick inside
      // the box's own message loop) cannot be read now: read it next scan.
      if (box.caption == kNoAnswer || box.text == kNoAnswer) continue;
      if (!quiet) {
        std::printf("box  owner=%s caption=\"%s\" text=\"%s\"\n",
                    GetWindow(window, GW_OWNER) == main ? "main" : "other",
                    Shown(box.caption).c_str(), Shown(box.text).c_str());
      }
      boxes.push_back(box);
    }
    present.insert(window);
    PostMessageA(window, WM_COMMAND, IDOK, 0);
  }
  dismissed_ = present;
}

bool Program::WaitFor(DWORD bound, const std::function<bool()>& done) {
  DWORD start = GetTickCount();
  for (;;) {
    Scan();
    if (done()) return true;
    if (GetTickCount() - start > bound) return false;
    if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) {
      Scan();
      return done();
    }
  }
}

bool Program::Running() {
  return process.hProcess != nullptr &&
         WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT;
}

bool Program::Answers() {
  DWORD_PTR result = 0;
  return main != nullptr &&
         SendMessageTimeoutA(main, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result) != 0;
}

void Program::Close() {
  if (main != nullptr) PostMessageA(main, WM_COMMAND, IDCANCEL, 0);
  // A box still open when the IDCANCEL came is dismissed on the way out.
  bool ended = WaitFor(30000, [this] { return !Running(); });
  if (!ended) {
    Check(false, "program ended after IDCANCEL");
    TerminateProcess(process.hProcess, 99);
    WaitForSingleObject(process.hProcess, 5000);
  }
  DWORD exitCode = 0xdeadbeef;
  GetExitCodeProcess(process.hProcess, &exitCode);
  Check(exitCode == 2, "exit code " + std::to_string(exitCode));
}

void ClockLines(const SYSTEMTIME& t, std::string& date, std::string& time) {
  char line[128];
  std::snprintf(line, sizeof line, kTextDateFormat, t.wYear, t.wMonth, t.wDay,
                kWeekdayNames[t.wDayOfWeek % 7]);
  date = line;
  std::snprintf(line, sizeof line, kTextTimeFormat, t.wHour, t.wMinute, t.wSecond);
  time = line;
}

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

// --- Resources ----------------------------------------------------------------------

namespace {

struct HandleEntry {  // SYSTEM_HANDLE_TABLE_ENTRY_INFO
  ULONG ownerPid;
  BYTE objectType;
  BYTE flags;
  USHORT handle;
  PVOID object;
  ACCESS_MASK access;
};

// Counts the process's handles from the system-wide table: Wine answers
// GetProcessHandleCount for another process with 0.
int64_t HandlesFromSystemTable(DWORD pid) {
  const auto kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
  std::vector<BYTE> buffer(1 << 20);
  for (int attempt = 0; attempt < 6; ++attempt) {
    ULONG needed = 0;
    NTSTATUS status = NtQuerySystemInformation(kSystemHandleInformation, buffer.data(),
                        static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) {
      ULONG count = *reinterpret_cast<ULONG*>(buffer.data());
      auto* entries = reinterpret_cast<HandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
      int64_t mine = 0;
      for (ULONG i = 0; i < count; ++i) mine += entries[i].ownerPid == pid;
      return mine;
    }
    buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 65536);
  }
  return -1;
}

// GetGuiResources is not implemented under Wine. Wine keeps each process's
// GDI handle table in memory named by its PEB (GdiSharedHandleTable), one
// 24-byte entry per handle with the object type at byte 14 (0 when free).
int64_t GdiObjectsFromHandleTable(HANDLE process) {
  PROCESS_BASIC_INFORMATION basic{};
  if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic,
                                nullptr) != 0)
    return -1;
  const SIZE_T kTableOffsetInPeb = 0x94;  // 32-bit PEB
  DWORD table = 0;
  SIZE_T read = 0;
  if (!ReadProcessMemory(process, static_cast<BYTE*>(static_cast<void*>(basic.PebBaseAddress)) +
                                      kTableOffsetInPeb,
                         &table, sizeof table, &read) ||
      table == 0) {
    return -1;
  }
  const size_t kEntrySize = 24, kEntries = 0x10000, kChunk = 4096;
  std::vector<BYTE> chunk(kChunk * kEntrySize);
  int64_t used = 0;
  for (size_t first = 0; first < kEntries; first += kChunk) {
    if (!ReadProcessMemory(process, reinterpret_cast<void*>(table + first * kEntrySize),
                           chunk.data(), chunk.size(), &read)) {
      return first == 0 ? -1 : used;
    }
    for (size_t i = 0; i < kChunk; ++i) used += chunk[i * kEntrySize + 14] != 0;
  }
  return used;
}

struct WindowCount {
  DWORD pid;
  int64_t count;
};

BOOL CALLBACK CountChild(HWND, LPARAM param) {
  ++reinterpret_cast<WindowCount*>(param)->count;
  return TRUE;
}

BOOL CALLBACK CountTopLevel(HWND window, LPARAM param) {
  auto* c = reinterpret_cast<WindowCount*>(param);
  if (ProcessOf(window) != c->pid) return TRUE;
  ++c->count;
  EnumChildWindows(window, CountChild, param);
  return TRUE;
}

}  // namespace

Resources Measure(const PROCESS_INFORMATION& process) {
  Resources r;
  DWORD handles = 0;
  if (GetProcessHandleCount(process.hProcess, &handles) && handles > 0) {
    r.handles = handles;
    r.handleSource = "GetProcessHandleCount";
  } else {
    r.handles = HandlesFromSystemTable(process.dwProcessId);
    r.handleSource = "system handle table";
  }
  DWORD gdi = GetGuiResources(process.hProcess, GR_GDIOBJECTS);
  if (gdi > 0) {
    r.gdiObjects = gdi;
    r.gdiSource = "GetGuiResources";
  } else {
    r.gdiObjects = GdiObjectsFromHandleTable(process.hProcess);
    r.gdiSource = "GDI handle table";
  }
  WindowCount windows{process.dwProcessId, 0};
  EnumWindows(CountTopLevel, reinterpret_cast<LPARAM>(&windows));
  r.windows = windows.count;
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(process.hProcess, &memory, sizeof memory)) {
    r.pagefileBytes = memory.PagefileUsage;
    r.workingSetBytes = memory.WorkingSetSize;
  }
  return r;
}

std::string Describe(const Resources& r) {
  return "handles " + std::to_string(r.handles) + " (" + r.handleSource + "), GDI objects " +
         std::to_string(r.gdiObjects) + " (" + r.gdiSource + "), windows " +
         std::to_string(r.windows) + ", private bytes " + std::to_string(r.pagefileBytes) +
         ", working set " + std::to_string(r.workingSetBytes);
}
