#include "sync/protocol.h"

#include "app/format_text.h"
#include "res/texts.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

ReplyClass ClassifyReply(const char* body, int length) {
  switch (body[0]) {
    case '#': return ReplyClass::Upgrade;
    case '^': return ReplyClass::TooManyErrors;
    case '~': return ReplyClass::Maintenance;
    default: break;
  }
  if (length > 7 && IsDigit(body[0])) return ReplyClass::Time;
  return ReplyClass::Unknown;
}

bool ParseTimeBody(const char* body, int length, int32_t roundTripMs, BaseTime* out) {
  if (length < 3) return false;
  const char* millisText = body + length - 3;
  // A line end after the digits would otherwise shift two millisecond digits
  // into the seconds and set the clock decades off.
  for (int i = 0; i < 3; ++i) {
    if (!IsDigit(millisText[i])) return false;
  }
  int32_t millis = (millisText[0] - '0') * 100 + (millisText[1] - '0') * 10 + (millisText[2] - '0');

  // The value atoi gives for the text before the milliseconds. A time body
  // starts with a digit, so there is neither leading space nor sign; bytes
  // after the first non-digit are ignored, as atoi ignores them. Stopped as
  // soon as it passes the calendar's last second, long before 64 bits overflow.
  int64_t seconds = 0;
  for (const char* p = body; p < millisText && IsDigit(*p); ++p) {
    seconds = seconds * 10 + (*p - '0');
    if (seconds > kLastCalendarSecond) return false;
  }

  // No exchange takes negative time; such a reading must not move the base
  // before the server's own stamp.
  if (roundTripMs < 0) roundTripMs = 0;
  // Signed halving truncates toward zero: an odd round trip loses half a
  // millisecond.
  int32_t corrected = millis + roundTripMs / 2;
  int64_t baseSeconds = seconds + corrected / 1000;
  if (baseSeconds > kLastCalendarSecond) return false;
  out->seconds = baseSeconds;
  out->millis = corrected % 1000;
  return true;
}

ReplyClass ReadTimeReply(const char* body, int length, int32_t roundTripMs, BaseTime* out) {
  ReplyClass reply = ClassifyReply(body, length);
  if (reply == ReplyClass::Time && !ParseTimeBody(body, length, roundTripMs, out))
    return ReplyClass::Unknown;
  return reply;
}

char* SplitAtChar(char* text, char separator) {
  char* p = text;
  while (*p != separator && *p != '\0') ++p;
  if (*p == '\0') return p;
  *p = '\0';
  return p + 1;
}

char* SkipBannerSpace(char* text) {
  while (*text == ' ' || *text == '\r' || *text == '\n' || *text == '\t') ++text;
  return text;
}

void FormatUpgradeMessage(const char* rest, char* message, int capacity) {
  FormatText(message, static_cast<size_t>(capacity), kTextUpgradeFormat, rest);
}
