// Reading back what the program stored, for tests with or without GoogleTest.
#pragma once
#include <windows.h>

#include <string>

// A value's bytes as a reader gets them, without the one zero the system may
// add after REG_SZ data, or "missing".
inline std::string StoredText(const char* subKey, const char* name, DWORD* type = nullptr) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, subKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return "missing";
  }
  char data[1024];
  DWORD size = sizeof data;
  DWORD valueType = 0xdeadbeef;
  LONG result = RegQueryValueExA(key, name, nullptr, &valueType,
                                 reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return "missing";
  if (type != nullptr) *type = valueType;
  if (size > 0 && data[size - 1] == '\0') --size;
  return std::string(data, size);
}
