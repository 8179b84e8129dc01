// The two functions through which every registry access goes. Each opens and
// closes its key under HKEY_CURRENT_USER.
#pragma once
#include <windows.h>

inline constexpr char kSettingsKey[] = "SOFTWARE\\Velmora\\Adjust";
inline constexpr char kOlderSettingsKey[] = "SOFTWARE\\Horalin\\GB";
inline constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr char kRunValueName[] = "Horalin";

// Reads a value whatever its type, which goes to *type when asked for; on
// entry size is the buffer's capacity less one, on return the number of bytes
// delivered, and a zero byte follows them. 0: read, not empty; -1: value
// missing, too long or unreadable; -2: key cannot be opened; -3: value is
// empty.
int RegReadString(const char* subKey, const char* valueName, char* buffer, DWORD& size,
                  DWORD* type = nullptr);

// Writes REG_SZ data without a terminating zero byte, creating the key as
// needed. 0 on success, -1 on failure.
int RegWriteString(const char* subKey, const char* valueName, const char* text);

// Closes a key on every path.
class ScopedKey {
public:
  ScopedKey() = default;
  ~ScopedKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  HKEY* receive() { return &key_; }
  HKEY get() const { return key_; }

private:
  HKEY key_ = nullptr;
};
