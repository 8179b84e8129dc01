#include "settings/registry.h"

#include <cstring>

int RegReadString(const char* subKey, const char* valueName, char* buffer, DWORD& size,
                  DWORD* type) {
  ScopedKey key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, subKey, 0, KEY_QUERY_VALUE, key.receive()) !=
      ERROR_SUCCESS) {
    return -2;
  }
  DWORD storedType = 0;
  if (RegQueryValueExA(key.get(), valueName, nullptr, &storedType,
                       reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) {
    return -1;
  }
  if (type != nullptr) *type = storedType;
  if (size == 0) return -3;
  buffer[size] = '\0';
  return 0;
}

int RegWriteString(const char* subKey, const char* valueName, const char* text) {
  ScopedKey key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, key.receive(), nullptr) != ERROR_SUCCESS) {
    return -1;
  }
  DWORD length = static_cast<DWORD>(std::strlen(text));
  if (RegSetValueExA(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                     length) != ERROR_SUCCESS) {
    return -1;
  }
  return 0;
}
