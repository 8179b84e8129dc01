// Windows' proxy settings written as Windows stores them, under
// ...\Internet Settings\Connections: a binary value of a version, a counter,
// the flags, then strings, each a length and its bytes. The user's
// (DefaultConnectionSettings, version 0x46: proxy list, bypass list, script
// address) and the machine's WinHTTP proxy (WinHttpSettings, version 0x18:
// proxy list, bypass list).
#pragma once
#include <windows.h>

#include <initializer_list>
#include <string>

inline bool StoreProxySettings(HKEY root, const char* value, DWORD version, DWORD flags,
                               std::initializer_list<std::string> texts) {
  std::string blob;
  auto add = [&blob](DWORD number) { blob.append(reinterpret_cast<const char*>(&number), 4); };
  add(version);
  add(0);
  add(flags);
  for (const std::string& text : texts) {
    add(static_cast<DWORD>(text.size()));
    blob += text;
  }
  HKEY key = nullptr;
  if (RegCreateKeyExA(root,
                      "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections",
                      0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  LONG result = RegSetValueExA(key, value, 0, REG_BINARY, reinterpret_cast<const BYTE*>(blob.data()),
                               static_cast<DWORD>(blob.size()));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}
