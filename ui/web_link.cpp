#include "ui/web_link.h"

#include <cstring>

namespace {

// True when text starts with prefix, which is lower case, in any letter case.
bool StartsWithNoCase(const char* text, std::size_t textLength, const char* prefix) {
  std::size_t length = std::strlen(prefix);
  if (textLength < length) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

bool IsWebAddress(const char* link, std::size_t length) {
  std::size_t rest = StartsWithNoCase(link, length, "http://")    ? 7
                     : StartsWithNoCase(link, length, "https://") ? 8
                                                                  : 0;
  if (rest == 0) return false;
  for (std::size_t i = rest; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(link[i]);
    // '!' to '~': printable ASCII without the blank.
    if (c < '!' || c > '~' || c == '"') return false;
  }
  return true;
}

std::size_t LengthWithoutTrailingSpace(const char* text) {
  std::size_t length = std::strlen(text);
  while (length > 0 && IsWhiteSpace(text[length - 1])) --length;
  return length;
}
