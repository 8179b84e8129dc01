// Client figures (a measurement, not a test): start-up time, how closely the
// shown second follows the host clock, and the idle cost of the running
// program. Serves the host's own time on loopback, so the program only ever
// sets the clock to now. Prints markdown table rows.
//
// Usage: bench.exe ORAMET_EXE SERVER_IP TICKS IDLE_SECONDS STARTS
#include "tests/e2e/harness.h"

#include <mmsystem.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "res/resource.h"
#include "res/texts.h"

namespace {

constexpr DWORD kBound = 30000;

// The host clock in ms since 1601, as precisely as the system gives it.
int64_t HostMillis() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  ULARGE_INTEGER t;
  t.LowPart = now.dwLowDateTime;
  t.HighPart = now.dwHighDateTime;
  return static_cast<int64_t>(t.QuadPart / 10000);
}

// The host's local time of day in ms at the UTC instant utcMillis.
int64_t LocalMillisOfDay(int64_t utcMillis) {
  TIME_ZONE_INFORMATION zone;
  DWORD mode = GetTimeZoneInformation(&zone);
  int64_t bias = zone.Bias + (mode == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : 0);
  int64_t local = utcMillis - bias * 60000;
  return ((local % 86400000) + 86400000) % 86400000;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(p * (values.size() - 1) + 0.5);
  return values[at];
}

double Seconds(const FILETIME& f) {
  ULARGE_INTEGER t;
  t.LowPart = f.dwLowDateTime;
  t.HighPart = f.dwHighDateTime;
  return static_cast<double>(t.QuadPart) / 1e7;
}

double CpuSeconds(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return -1;
  return Seconds(kernel) + Seconds(user);
}

// Starts the program and returns ms from the start to the first clock line
// that shows the server's (the host's) time; -1 if it did not come.
double StartUp(Program& program, const std::string& exe) {
  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!program.Start(exe)) return -1;
  HWND time = nullptr;
  DWORD begun = GetTickCount();
  while (GetTickCount() - begun < kBound) {
    if (program.main == nullptr) {
      program.Scan();
    } else {
      if (time == nullptr) time = GetDlgItem(program.main, IDC_TIME);
      std::string shown = TextOf(time);
      if (shown != kTextTimePlaceholder && shown != kNoAnswer) {
        QueryPerformanceCounter(&now);
        return 1000.0 * (now.QuadPart - start.QuadPart) / frequency.QuadPart;
      }
    }
    Sleep(1);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: bench ORAMET_EXE SERVER_IP TICKS IDLE_SECONDS STARTS\n");
    return 2;
  }
  const std::string exe = argv[1];
  const char* ip = argv[2];
  const int ticks = std::atoi(argv[3]);
  const int idleSeconds = std::atoi(argv[4]);
  const int starts = std::max(1, std::atoi(argv[5]));

  timeBeginPeriod(1);
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  ScriptedServer server;
  if (!server.Start(ip, BannerAndTime("http://example.test/", "bench"))) {
    std::fprintf(stderr, "bench: cannot listen on %s:80\n", ip);
    return 1;
  }
  ResetSettings(ip);  // the default interval of an hour: one sync at start

  // Start-up: the first start also warms Wine's caches; all are reported.
  std::vector<double> startUps;
  for (int i = 1; i < starts; ++i) {
    Program once;
    startUps.push_back(StartUp(once, exe));
    once.Close();
  }
  Program program;
  startUps.push_back(StartUp(program, exe));
  if (startUps.back() < 0 || program.main == nullptr) {
    std::fprintf(stderr, "bench: the program did not show a synchronised clock\n");
    return 1;
  }
  HWND time = GetDlgItem(program.main, IDC_TIME);

  // Accuracy: each change of the shown second against the host's boundary of
  // that second. Positive: shown late.
  std::vector<double> deltas;
  std::vector<double> pollGaps;
  int skipped = 0;
  std::string last = TextOf(time);
  int lastSecondOfDay = -1;
  int64_t lastPoll = HostMillis();
  while (static_cast<int>(deltas.size()) < ticks) {
    std::string shown = TextOf(time);
    int64_t at = HostMillis();
    pollGaps.push_back(static_cast<double>(at - lastPoll));
    lastPoll = at;
    if (shown == last) {
      Sleep(1);
      continue;
    }
    last = shown;
    int h = -1, m = -1, s = -1;
    if (std::sscanf(shown.c_str(), kTextTimeFormat, &h, &m, &s) != 3) continue;
    int secondOfDay = h * 3600 + m * 60 + s;
    if (lastSecondOfDay >= 0 && secondOfDay - lastSecondOfDay > 1) {
      skipped += secondOfDay - lastSecondOfDay - 1;
    }
    lastSecondOfDay = secondOfDay;
    int64_t delta = LocalMillisOfDay(at) - int64_t{secondOfDay} * 1000;
    if (delta > 43200000) delta -= 86400000;
    if (delta < -43200000) delta += 86400000;
    deltas.push_back(static_cast<double>(delta));
  }
  std::vector<double> absolute;
  for (double d : deltas) absolute.push_back(d < 0 ? -d : d);
  double earliest = *std::min_element(deltas.begin(), deltas.end());

  // Idle: no sync falls in the window (hourly interval), nothing polls.
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  double cpuBefore = CpuSeconds(program.process.hProcess);
  int64_t idleStart = HostMillis();
  program.WaitFor(static_cast<DWORD>(idleSeconds) * 1000, [] { return false; });
  double cpuAfter = CpuSeconds(program.process.hProcess);
  double idleElapsed = (HostMillis() - idleStart) / 1000.0;
  GetProcessMemoryInfo(program.process.hProcess, &memory, sizeof memory);

  std::printf("| start-up to the first synchronised clock line | %.0f ms (each start:", 
              startUps.back());
  for (double s : startUps) std::printf(" %.0f", s);
  std::printf(") |\n");
  std::printf("| shown second change vs. true boundary, median distance | %.1f ms (%zu ticks) |\n",
              Percentile(absolute, 0.5), deltas.size());
  std::printf("| shown second change vs. true boundary, 95th percentile distance | %.1f ms |\n",
              Percentile(absolute, 0.95));
  std::printf("| shown second change, signed: median / min / max | %+.0f / %+.0f / %+.0f ms |\n",
              Percentile(deltas, 0.5), earliest, Percentile(deltas, 1.0));
  // A timer fires at or after its boundary, never before: the earliest
  // change, taken as on time, gives DisplayTime's lead over the host clock.
  std::printf("| `DisplayTime` minus host clock (from the earliest change) | %+.0f ms |\n",
              earliest == 0 ? 0.0 : -earliest);
  std::printf("| seconds skipped by the display | %d of %zu |\n", skipped, deltas.size());
  std::printf("| observation resolution (median poll gap) | %.1f ms |\n",
              Percentile(pollGaps, 0.5));
  if (cpuBefore >= 0 && cpuAfter >= 0) {
    std::printf("| idle CPU time per hour (over %.0f s) | %.2f s |\n", idleElapsed,
                (cpuAfter - cpuBefore) * 3600.0 / idleElapsed);
  }
  std::printf("| idle working set / private bytes | %.1f MB / %.1f MB |\n",
              memory.WorkingSetSize / 1048576.0, memory.PagefileUsage / 1048576.0);
  std::printf("cpu-window %.0f\n", idleElapsed);
  std::fflush(stdout);

  program.Close();
  server.Stop();
  ResetSettings(nullptr);
  WSACleanup();
  timeEndPeriod(1);
  return 0;
}
