#include "ui/web_link.h"

#include <cstring>

namespace {

// True when text starts with prefix, which is lower case, in any letter case.
bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t length = std::strlen(prefix);
  if (text.size() < length) return false;
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

bool IsWebAddress(const std::string& link) {
  size_t rest = StartsWithNoCase(link, "http://")    ? 7
                : StartsWithNoCase(link, "https://") ? 8
                                                      : 0;
  if (rest == 0) return false;
  for (size_t i = rest; i < link.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(link[i]);
    // '!' to '~': printable ASCII without the blank.
    if (c < '!' || c > '~' || c == '"') return false;
  }
  return true;
}

std::string WithoutTrailingSpace(const char* text) {
  size_t length = std::strlen(text);
  while (length > 0 && IsWhiteSpace(text[length - 1])) --length;
  return std::string(text, length);
}
