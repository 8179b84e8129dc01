// Soak: the real oramet.exe synchronising every second against a loopback
// server that keeps cycling through good replies, garbage, silence and
// refusals, its message boxes dismissed as they come. Afterwards it must
// still run and answer, show a good reply, and hold no more handles, GDI
// objects, windows or memory than after its warm-up.
//
// Usage: soak.exe ORAMET_EXE SERVER_IP SECONDS
#include "tests/e2e/harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "res/resource.h"
#include "res/texts.h"

namespace {

constexpr DWORD kStartBound = 30000;
constexpr DWORD kGoodBound = 30000;

// Growth allowed between the two samples: a little for Wine's own caches,
// far less than one object per synchronisation.
constexpr int64_t kHandleSlack = 6;
constexpr int64_t kGdiSlack = 6;
constexpr int64_t kMemorySlack = 1024 * 1024;

// Bodies that begin like a time begin with the true one: should a fault let
// them through, the clock is still only set to now.
std::string Oversized() { return HostTimeBody() + std::string(3000, 'x'); }

// One round of the server's behaviour, a request each.
std::vector<Answer> Cycle(bool withSilence) {
  std::vector<Answer> round = {
      TimeAnswer(),
      BodyAnswer(std::string("\x00\x01\x80\xff\xfe\x7f garbage \x00\x90", 15)),
      TimeAnswer(),
      BodyAnswer("abc"),
      TimeAnswer(),
      BodyAnswer(Oversized()),
      TimeAnswer(),
      CloseAnswer(),
      TimeAnswer(),
      RawAnswer("not http at all\r\n\r\n\x81\x82"),
      TimeAnswer(),
      RefuseAnswer(2500),
      TimeAnswer(),
      BodyAnswer("~"),
      TimeAnswer(),
      BodyAnswer(HostTimeBody() + "\r\n"),
      TimeAnswer(),
  };
  // Each silent exchange costs the client its full 5 s wait.
  if (withSilence) round.push_back(SilentAnswer());
  return round;
}

struct Sample {
  Resources least;
  bool taken = false;
};

// The least of each count over a few calm moments (no box open, no exchange
// in flight is not knowable from outside, so the minimum hides one).
Sample CalmSample(Program& program, int moments) {
  Sample s;
  for (int i = 0; i < moments * 4 && (!s.taken || i < moments); ++i) {
    program.Scan();
    Sleep(150);
    program.Scan();
    if (program.BoxOpen()) continue;
    Resources r = Measure(program.process);
    if (!s.taken) {
      s.least = r;
      s.taken = true;
      continue;
    }
    s.least.handles = std::min(s.least.handles, r.handles);
    s.least.gdiObjects = std::min(s.least.gdiObjects, r.gdiObjects);
    s.least.windows = std::min(s.least.windows, r.windows);
    s.least.pagefileBytes = std::min(s.least.pagefileBytes, r.pagefileBytes);
    s.least.workingSetBytes = std::min(s.least.workingSetBytes, r.workingSetBytes);
  }
  return s;
}

void CheckGrowth(const char* what, int64_t early, int64_t late, int64_t slack) {
  if (early < 0 || late < 0) {
    std::printf("note %s not observable under this system\n", what);
    return;
  }
  Check(late <= early + slack, std::string(what) + " " + std::to_string(early) + " -> " +
                                   std::to_string(late) + " (allowed +" +
                                   std::to_string(slack) + ")");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: soak ORAMET_EXE SERVER_IP SECONDS\n");
    return 2;
  }
  const std::string exe = argv[1];
  const char* ip = argv[2];
  const DWORD seconds = static_cast<DWORD>(std::atoi(argv[3]));

  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);

  // Good replies only while the samples are taken, so that both find the
  // program in the same state; the cycle in between.
  std::atomic<bool> hostile{false};
  std::atomic<int> cycleIndex{0};
  std::atomic<int> rounds{0};
  ScriptedServer server;
  bool listening = server.Start(ip, [&](const std::string&, int) {
    if (!hostile) return TimeAnswer();
    int i = cycleIndex++;
    int round = i / 18;
    std::vector<Answer> answers = Cycle(round % 2 == 1);
    int at = i % 18;
    if (at == 17) ++rounds;
    return at < static_cast<int>(answers.size()) ? answers[at] : TimeAnswer();
  });
  if (!listening) {
    Check(false, std::string("server listening on ") + ip + ":80");
    return 1;
  }
  ResetSettings(ip);
  SetSetting("Interval", "1");
  SetSetting("ShowMode", "1");

  Program program;
  program.quiet = true;
  if (!program.Start(exe)) {
    server.Stop();
    ResetSettings(nullptr);
    return 1;
  }
  bool found = program.WaitFor(
      kStartBound, [&] { return program.main != nullptr && IsWindowVisible(program.main); });
  Check(found, "main window shown");
  if (!found) {
    program.Close();
    server.Stop();
    ResetSettings(nullptr);
    return Finish();
  }
  HWND date = GetDlgItem(program.main, IDC_DATE);
  HWND time = GetDlgItem(program.main, IDC_TIME);
  auto showsGoodReply = [&] { return ShowsNow(TextOf(date), TextOf(time)); };

  // Warm-up: one full round, so that every path has run once.
  Check(program.WaitFor(kGoodBound, showsGoodReply), "first synchronisation shown");
  hostile = true;
  program.WaitFor(120000, [&] { return rounds >= 1; });
  hostile = false;
  Check(program.WaitFor(kGoodBound, showsGoodReply), "good reply shown after warm-up");
  Sample early = CalmSample(program, 8);
  std::printf("early %s\n", Describe(early.least).c_str());

  DWORD start = GetTickCount();
  int requestsBefore = server.Count();
  hostile = true;
  program.WaitFor(seconds * 1000, [&] { return !program.Running(); });
  hostile = false;
  DWORD ran = GetTickCount() - start;
  int exchanges = server.Count() - requestsBefore;
  std::printf("ran %lu s: %d exchanges, %d rounds, %zu boxes\n", ran / 1000, exchanges,
              rounds.load(), program.boxes.size());

  Check(program.Running(), "program still runs");
  Check(program.WaitFor(kGoodBound, showsGoodReply), "good reply shown at the end: \"" +
                                                          Shown(TextOf(time)) + "\"");
  Check(program.Answers(), "main window answers");
  Sample late = CalmSample(program, 8);
  std::printf("late  %s\n", Describe(late.least).c_str());

  // Every hostile answer must have been met with a box, and only with the
  // boxes for them.
  std::map<std::string, int> byCaption;
  for (const Box& b : program.boxes) ++byCaption[b.caption];
  for (const auto& c : byCaption) {
    std::printf("boxes \"%s\": %d\n", Shown(c.first).c_str(), c.second);
  }
  Check(byCaption[kTextUnknownData] > 0, "unknown data boxes seen");
  Check(byCaption[kTextNetworkError] > 0, "network error boxes seen");
  Check(byCaption[kTextNotice] > 0, "maintenance notices seen");
  int others = static_cast<int>(program.boxes.size()) - byCaption[kTextUnknownData] -
               byCaption[kTextNetworkError] - byCaption[kTextNotice];
  Check(others == 0, "no other box (" + std::to_string(others) + ")");
  Check(rounds >= 2, "at least two rounds of the cycle ran (" + std::to_string(rounds) + ")");

  if (early.taken && late.taken) {
    CheckGrowth("handles", early.least.handles, late.least.handles, kHandleSlack);
    CheckGrowth("GDI objects", early.least.gdiObjects, late.least.gdiObjects, kGdiSlack);
    CheckGrowth("windows", early.least.windows, late.least.windows, 0);
    CheckGrowth("private bytes", early.least.pagefileBytes, late.least.pagefileBytes,
                kMemorySlack);
  } else {
    Check(false, "calm samples taken");
  }

  program.Close();
  server.Stop();
  ResetSettings(nullptr);
  WSACleanup();
  return Finish();
}
