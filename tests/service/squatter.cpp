// A user's program holding the clock pipe's name while the service is away:
// it answers "OK" to every client before any request, until the event whose
// handle it inherited is set (a minute at most). Its exit code is the count
// of request bytes clients sent it.
// Usage: service_squatter.exe EVENT_HANDLE
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "service/clock_contract.h"

namespace {

std::atomic<int> g_received{0};

DWORD WINAPI ExitOnStop(void* stop) {
  WaitForSingleObject(stop, 60000);
  ExitProcess(static_cast<UINT>(g_received.load()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return -1;
  HANDLE stop =
      reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(argv[1], nullptr, 10)));
  // One instance: Wine lets a second server share a name whatever
  // FILE_FLAG_FIRST_PIPE_INSTANCE says, but never beyond the first's count.
  HANDLE pipe = CreateNamedPipeA(kClockPipeName, PIPE_ACCESS_DUPLEX,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 64, 64, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE || !CreateThread(nullptr, 0, ExitOnStop, stop, 0, nullptr))
    return -2;
  for (;;) {
    DWORD bytes = 0;
    char request[64];
    if ((ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) &&
        WriteFile(pipe, kClockReplyOk, sizeof kClockReplyOk - 1, &bytes, nullptr)) {
      while (ReadFile(pipe, request, sizeof request, &bytes, nullptr) ||
             GetLastError() == ERROR_MORE_DATA)
        g_received += static_cast<int>(bytes);  // until the client closes its end
    }
    DisconnectNamedPipe(pipe);
  }
}
