#include "ui/web_link.h"

namespace {

// True when text starts with prefix, which is lower case, in any letter case.
bool StartsWithNoCase(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    char c = *text;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != *prefix) return false;
  }
  return true;
}

}  // namespace

bool IsWebAddress(const char* link) {
  return StartsWithNoCase(link, "http://") || StartsWithNoCase(link, "https://");
}
