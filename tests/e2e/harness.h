// What the end-to-end programs share: a scripted time server on loopback,
// the program's settings in the prefix, and the running oramet.exe seen from
// outside (its windows, its message boxes, its resources).
#pragma once
#include <winsock2.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// --- Checks -------------------------------------------------------------------

// Prints "ok" or "FAIL" with what was checked; failures are counted.
void Check(bool ok, const std::string& what);
int Failures();
// Prints the summary line and returns the exit code for main.
int Finish();

// Escapes bytes outside printable ASCII so that a log shows them exactly.
std::string Shown(const std::string& bytes);

// --- The scripted time server -------------------------------------------------

// How one connection is answered.
struct Answer {
  enum Kind { Time, Body, Raw, Silent, CloseAtOnce, RefuseFor } kind;
  std::string bytes;  // Body: the body; Raw: the whole reply
  DWORD ms = 0;       // RefuseFor: how long no one listens afterwards
};
Answer TimeAnswer();                                // the host's clock, as late as possible
Answer BodyAnswer(const std::string& body);         // 200 with this body
Answer RawAnswer(const std::string& bytes);         // these bytes, nothing added
Answer SilentAnswer();                              // reads the request, never answers
Answer CloseAnswer();                               // closes without a byte
Answer RefuseAnswer(DWORD ms);                      // closes, then stops listening a while

// The host's clock as the time body: Unix seconds and three digits of ms.
std::string HostTimeBody();

// Serves one connection at a time on ip:80; script(request, n) picks the
// answer to the n-th request (n from 0). Records the requests.
class ScriptedServer {
public:
  using Script = std::function<Answer(const std::string& request, int n)>;
  ~ScriptedServer() { Stop(); }
  bool Start(const char* ip, Script script);
  void Stop();
  std::vector<std::string> Requests();
  int Count() { return count_; }

private:
  bool Listen();
  void Serve();
  void Handle(SOCKET client);

  std::string ip_;
  Script script_;
  SOCKET listener_ = INVALID_SOCKET;
  std::atomic<bool> stopping_{false};
  std::atomic<int> count_{0};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

// The default script: the banner for "/ad/", the host's time otherwise.
ScriptedServer::Script BannerAndTime(const std::string& link, const std::string& text);

// --- The program's settings -----------------------------------------------------

// Wipes the program's key; then, unless server is null, writes "Server".
void ResetSettings(const char* server);
// Writes one REG_SZ value under the program's key.
void SetSetting(const char* name, const char* value);

// --- The running program ----------------------------------------------------------

struct Box {
  std::string caption;
  std::string text;
};

// What TextOf gives when the program does not answer within 5 s.
inline constexpr const char kNoAnswer[] = "<no answer>";
std::string TextOf(HWND window);  // kNoAnswer if the program does not answer in 5 s
std::string ClassOf(HWND window);
DWORD ProcessOf(HWND window);

class Program {
public:
  ~Program();
  // Starts exe shown normally; false (and a failed check) if it cannot.
  bool Start(const std::string& exe);
  // Records and dismisses the program's message boxes; finds its main window.
  void Scan();
  // Polls until done() or the bound (ms), scanning for boxes in between.
  bool WaitFor(DWORD bound, const std::function<bool()>& done);
  // Posts IDCANCEL to the main window and checks that the program exits with 2.
  void Close();
  bool Running();
  // True when the main window answers a message within 5 s.
  bool Answers();
  // True while a box seen by the last scan is still waiting to close.
  bool BoxOpen() const { return !dismissed_.empty(); }

  PROCESS_INFORMATION process{};
  HWND main = nullptr;
  std::vector<Box> boxes;
  bool quiet = false;  // do not print each box (the soak sees hundreds)

private:
  std::set<HWND> dismissed_;
};

// The clock lines as the program formats a local time.
void ClockLines(const SYSTEMTIME& t, std::string& date, std::string& time);
// True when the two lines show the local time within a few seconds of now.
bool ShowsNow(const std::string& date, const std::string& time);

// --- Resources of a process, as far as Wine lets them be seen ------------------------

struct Resources {
  int64_t handles = -1;     // kernel handles (-1: not observable)
  int64_t gdiObjects = -1;  // GDI objects in use
  int64_t windows = -1;     // windows of the process, top-level and children
  int64_t pagefileBytes = -1;
  int64_t workingSetBytes = -1;
  std::string handleSource;  // how the handles were counted
  std::string gdiSource;
};
Resources Measure(const PROCESS_INFORMATION& process);
std::string Describe(const Resources& r);
