// What readers see of a value that RegWriteString stored.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "settings/registry.h"
#include "tests/support/stored_text.h"

// RegWriteString counts the text without its terminator, but Wine's
// RegSetValueExA stores a terminating zero anyway when the byte after the
// counted REG_SZ data is zero, and its readers then deliver it. So the
// longest readable value there is one byte shorter than the capacity.
// Returns the number of bytes a reader gets beyond the text: 0 or 1.
inline int StoredTerminatorBytes() {
  const char kProbeKey[] = "SOFTWARE\\Velmora\\OrametReaderProbe";
  if (RegWriteString(kProbeKey, "Probe", "abc") != 0) return 0;
  char buffer[16];
  DWORD size = sizeof buffer - 1;
  int result = RegReadString(kProbeKey, "Probe", buffer, size);
  RegDeleteKeyA(HKEY_CURRENT_USER, kProbeKey);
  return result == 0 && size == 4 ? 1 : 0;
}

// The value is REG_SZ holding text and nothing else but the zero the system
// may add, as the wide form the registry keeps and as the ANSI reader gets it.
inline void ExpectStoredText(const char* subKey, const char* name, const char* text) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, subKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  WCHAR wideName[64];
  MultiByteToWideChar(CP_ACP, 0, name, -1, wideName, 64);
  WCHAR wide[256];
  std::memset(wide, 0xcc, sizeof wide);
  DWORD type = 0xdeadbeef;
  DWORD wideSize = sizeof wide;
  EXPECT_EQ(RegQueryValueExW(key, wideName, nullptr, &type, reinterpret_cast<BYTE*>(wide),
                             &wideSize),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  const int extra = StoredTerminatorBytes();
  std::wstring expectedWide(text, text + std::strlen(text));
  if (extra == 1) expectedWide.push_back(L'\0');
  EXPECT_EQ(std::wstring(wide, wideSize / sizeof(WCHAR)), expectedWide);

  char data[512];
  std::memset(data, 0xcc, sizeof data);
  DWORD size = sizeof data;
  EXPECT_EQ(RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
            ERROR_SUCCESS);
  RegCloseKey(key);
  std::string expected(text);
  if (extra == 1) expected.push_back('\0');
  EXPECT_EQ(std::string(data, size), expected);
}

