// The TCP counters of the network namespace a test runs in, read from
// Linux through Wine's Z: drive: they see every program's connections,
// squid's as well as the one under test.
#pragma once
#include <windows.h>

#include <cstdlib>
#include <sstream>
#include <string>

// A counter of the "TcpExt:" lines by its name, or -1. TCPSynRetrans, for
// one, counts connection requests sent again for want of an answer: on
// loopback only a dropped one is.
inline long TcpCounter(const char* counter) {
  HANDLE file = CreateFileA("Z:\\proc\\net\\netstat", GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  std::string text;
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) text.append(chunk, read);
  CloseHandle(file);
  // A line of names, then a line of values, both starting "TcpExt:".
  size_t names = text.find("TcpExt:");
  size_t values = names == std::string::npos ? names : text.find("TcpExt:", names + 7);
  if (values == std::string::npos) return -1;
  std::istringstream nameLine(text.substr(names, values - names));
  std::istringstream valueLine(text.substr(values));
  std::string name;
  std::string value;
  while (nameLine >> name && valueLine >> value)
    if (name == counter) return std::strtol(value.c_str(), nullptr, 10);
  return -1;
}
