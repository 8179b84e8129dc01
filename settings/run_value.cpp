#include "settings/run_value.h"

std::string RunValueForPath(const std::string& modulePath) {
  if (modulePath.find(' ') == std::string::npos) return modulePath;
  return '"' + modulePath + '"';
}

bool RunValueNamesPath(const char* stored, const std::string& modulePath) {
  const std::string text = stored;
  return text == modulePath || text == '"' + modulePath + '"';
}

bool RunValueFits(const std::string& data) { return data.size() + 1 <= kRunValueCapacity; }
