// Hostile replies end to end: the real oramet.exe against a loopback server
// that sends oversized, binary and malformed replies, and banner links that
// name programs. The program must not crash, must report unknown data with
// exactly the bytes it read, and must start nothing.
//
// Usage: hostile.exe ORAMET_EXE SERVER_IP
#include "tests/e2e/harness.h"

#include <tlhelp32.h>

#include <cstdio>
#include <map>
#include <string>

#include "res/resource.h"
#include "res/texts.h"

namespace {

constexpr DWORD kStartBound = 30000;
constexpr DWORD kReplyBound = 30000;
constexpr int kReceiveLimit = 1023;        // the client's single receive
constexpr int kBannerReceiveLimit = 2047;  // the banner's

std::string Http200(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Distinct bytes at every position, so that a prefix one byte too long or
// short is seen.
std::string Pattern(size_t size) {
  const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string out;
  for (size_t i = 0; out.size() < size; ++i) {
    out += letters[i % 52];
    if (i % 52 == 51) out += std::to_string(i / 52 % 10);
  }
  out.resize(size);
  return out;
}

struct Session {
  ScriptedServer server;
  Program program;
  bool ok = false;
};

// Starts the server with script and the program against it; ok once the
// main window shows.
void Open(Session& s, const std::string& exe, const char* ip, ScriptedServer::Script script) {
  if (!s.server.Start(ip, std::move(script))) {
    Check(false, std::string("server listening on ") + ip + ":80");
    return;
  }
  ResetSettings(ip);
  s.ok = s.program.Start(exe) && s.program.WaitFor(kStartBound, [&] {
    return s.program.main != nullptr && IsWindowVisible(s.program.main);
  });
  Check(s.ok, "main window shown");
}

// Still running, answering, shown normally, no box left open.
void CheckStillWell(Program& program) {
  Check(program.Running(), "program still runs");
  Check(program.Answers(), "main window answers");
  Check(IsWindowVisible(program.main) && !IsIconic(program.main), "main window shown normally");
}

void Close(Session& s) {
  s.program.Close();
  s.server.Stop();
  ResetSettings(nullptr);
}

// --- Replies to the time request ------------------------------------------------

struct ReplyCase {
  const char* name;
  std::string reply;         // the whole reply as sent
  const char* caption;
  std::string expectedText;  // the box's text; empty: only its start is known
  std::string textStart;
};

void RunReplyCase(const std::string& exe, const char* ip, const ReplyCase& c) {
  std::printf("--- %s\n", c.name);
  Session s;
  std::string reply = c.reply;
  Open(s, exe, ip, [reply](const std::string& request, int) {
    if (request.compare(0, 9, "GET /ad/ ") == 0) return BodyAnswer("http://example.test/\tok");
    return RawAnswer(reply);
  });
  if (s.ok) {
    bool boxed = s.program.WaitFor(kReplyBound, [&] { return !s.program.boxes.empty(); });
    Check(boxed, "a box reports the reply");
    if (boxed) {
      const Box& box = s.program.boxes.front();
      Check(box.caption == c.caption, "caption \"" + Shown(box.caption) + "\"");
      if (!c.expectedText.empty()) {
        Check(box.text == c.expectedText,
              "text is the " + std::to_string(c.expectedText.size()) + " bytes read, got " +
                  std::to_string(box.text.size()) + ": \"" + Shown(box.text.substr(0, 60)) +
                  "...\"");
      } else {
        Check(box.text.compare(0, c.textStart.size(), c.textStart) == 0,
              "text starts \"" + Shown(c.textStart) + "\": \"" + Shown(box.text) + "\"");
      }
    }
    // Let it go on ticking for a moment; a crash after the box still shows.
    s.program.WaitFor(1500, [] { return false; });
    CheckStillWell(s.program);
    std::string time = TextOf(GetDlgItem(s.program.main, IDC_TIME));
    Check(time == kTextTimePlaceholder, "no time shown from a bad reply: \"" + Shown(time) + "\"");
  }
  Close(s);
}

// --- Banner links that name programs ---------------------------------------------

struct ProcessEntry {
  DWORD parent;
  std::string name;
};

std::map<DWORD, ProcessEntry> Processes() {
  std::map<DWORD, ProcessEntry> out;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return out;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    out[entry.th32ProcessID] = {entry.th32ParentProcessID, entry.szExeFile};
  }
  CloseHandle(snapshot);
  return out;
}

// New processes the program started, or that anything opening a link or a
// program would start. Other tests may run in the same Wine session, so
// unrelated newcomers are ignored.
std::vector<std::string> Started(const std::map<DWORD, ProcessEntry>& before,
                                 const std::map<DWORD, ProcessEntry>& after, DWORD program) {
  const char* openers[] = {"calc.exe", "notepad.exe", "x.exe", "winebrowser.exe", "explorer.exe",
                           "start.exe", "rundll32.exe", "cmd.exe"};
  std::vector<std::string> out;
  for (const auto& p : after) {
    if (before.count(p.first) != 0) continue;
    bool suspicious = p.second.parent == program;
    for (const char* name : openers) suspicious |= lstrcmpiA(p.second.name.c_str(), name) == 0;
    if (!suspicious) continue;
    out.push_back(p.second.name + " (parent " + std::to_string(p.second.parent) + ")");
    // Leave nothing running for the next case.
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, p.first);
    if (process != nullptr) {
      TerminateProcess(process, 1);
      CloseHandle(process);
    }
  }
  return out;
}

void RunBannerCase(const std::string& exe, const char* ip, const std::string& link) {
  std::printf("--- banner link \"%s\"\n", Shown(link).c_str());
  const std::string text = "Click here";
  Session s;
  Open(s, exe, ip, BannerAndTime(link, text));
  if (s.ok) {
    HWND banner = GetDlgItem(s.program.main, IDC_BANNER);
    bool shown = s.program.WaitFor(kReplyBound, [&] { return TextOf(banner) == text; });
    Check(shown, "banner shows \"" + Shown(TextOf(banner)) + "\"");
    size_t boxesBefore = s.program.boxes.size();
    std::map<DWORD, ProcessEntry> before = Processes();
    HWND foregroundBefore = GetForegroundWindow();
    Check(!before.empty(), "processes can be listed");
    DWORD_PTR result = 0;
    SendMessageTimeoutA(s.program.main, WM_COMMAND, MAKEWPARAM(IDC_BANNER, 0),
                        reinterpret_cast<LPARAM>(banner), SMTO_ABORTIFHUNG, 10000, &result);
    // Whatever the click might start needs a moment to appear.
    s.program.WaitFor(3000, [] { return false; });
    std::vector<std::string> started = Started(before, Processes(), s.program.process.dwProcessId);
    std::string names;
    for (const std::string& n : started) names += " " + n;
    Check(started.empty(), "the click started nothing:" + names);
    Check(s.program.boxes.size() == boxesBefore, "the click showed no box");
    // When the program's window loses activation, Wine may hand the foreground
    // to the desktop window (#32769) or to nobody: neither is a program.
    HWND foreground = GetForegroundWindow();
    Check(foreground == foregroundBefore || foreground == nullptr ||
              foreground == GetDesktopWindow() || foreground == GetShellWindow() ||
              ProcessOf(foreground) == s.program.process.dwProcessId,
          "no other program's window came to the front (" + ClassOf(foreground) + ")");
    CheckStillWell(s.program);
  }
  Close(s);
}

// A banner far over the client's buffer: the text shown is what fitted.
void RunOversizedBanner(const std::string& exe, const char* ip) {
  std::printf("--- oversized banner\n");
  const std::string link = "http://example.test/";
  const std::string text = Pattern(6000);
  const std::string reply = Http200(link + "\t" + text);
  const size_t head = reply.size() - link.size() - 1 - text.size();
  const std::string fitted = text.substr(0, kBannerReceiveLimit - head - link.size() - 1);
  Session s;
  Open(s, exe, ip, [&](const std::string& request, int) {
    if (request.compare(0, 9, "GET /ad/ ") == 0) return RawAnswer(reply);
    return TimeAnswer();
  });
  if (s.ok) {
    HWND banner = GetDlgItem(s.program.main, IDC_BANNER);
    bool shown = s.program.WaitFor(kReplyBound, [&] { return TextOf(banner) != ""; });
    std::string got = TextOf(banner);
    Check(shown && got == fitted, "banner shows the " + std::to_string(fitted.size()) +
                                      " bytes that fitted, got " + std::to_string(got.size()));
    Check(s.program.boxes.empty(), "no box");
    CheckStillWell(s.program);
  }
  Close(s);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: hostile ORAMET_EXE SERVER_IP\n");
    return 2;
  }
  const std::string exe = argv[1];
  const char* ip = argv[2];
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);

  // The box shows the body as far as the client read it: the first 1023
  // bytes of the reply, less the head.
  const std::string big = Pattern(6000);
  const std::string bigReply = Http200(big);
  const std::string head = bigReply.substr(0, bigReply.size() - big.size());
  const std::string bigRead = big.substr(0, kReceiveLimit - head.size());
  const std::string binary("\x01\x80\xff\x00\x7f\x90zz\x00\xfe", 10);
  const std::string time = HostTimeBody();

  const ReplyCase replies[] = {
      {"oversized reply", bigReply, kTextUnknownData, bigRead, ""},
      // No end of the head within what is read: nothing usable came back.
      {"oversized reply without a head", Pattern(5000), kTextNetworkError, "", ""},
      {"binary bytes with zero bytes", Http200(binary), kTextUnknownData, "", ""},
      {"zero byte first", Http200(std::string("\x00" "1234567890123", 14)), kTextUnknownData, "",
       ""},
      {"time with CR LF tail", Http200(time + "\r\n"), kTextUnknownData, "", time.substr(0, 8)},
      {"time with 0x80+ tail", Http200(time + "\xa1\xa2"), kTextUnknownData, "",
       time.substr(0, 8)},
  };
  for (const ReplyCase& c : replies) RunReplyCase(exe, ip, c);

  // Programs every Wine prefix has, so that a click that runs them is seen.
  const std::string links[] = {
      "C:\\windows\\system32\\notepad.exe",
      "C:\\windows\\system32\\calc.exe",
      "\\\\host\\share\\x.exe",
      "file:///C:/windows/notepad.exe",
      "notepad.exe",
  };
  for (const std::string& link : links) RunBannerCase(exe, ip, link);
  RunOversizedBanner(exe, ip);

  WSACleanup();
  return Finish();
}
