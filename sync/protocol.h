// The time service's replies as plain values: classification, the time
// body, the banner split and the upgrade message. No Windows header.
#pragma once
#include <cstdint>
#include "version.h"

#include "sync/calendar.h"

// Query text of the time request, after "/?": tells the server which client
// asks, so that it can send old ones the upgrade message.
inline constexpr char kTimeQuery[] = "v=" ORAMET_VERSION;
inline constexpr char kTimeTargetFormat[] = "/?%s";
inline constexpr char kBannerTarget[] = "/ad/";

// The time request's exchange buffer, the "#" message buffer and the banner
// buffer.
constexpr int kExchangeCapacity = 1024;
constexpr int kMessageCapacity = 256;
constexpr int kBannerCapacity = 2048;

enum class ReplyClass { Upgrade, TooManyErrors, Maintenance, Time, Unknown };

// By the first byte and the length alone: "#", "^", "~", or a decimal digit
// with more than 7 bytes for a time; anything else is unknown.
ReplyClass ClassifyReply(const char* body, int length);

struct BaseTime {
  int64_t seconds;  // 0 to kLastCalendarSecond
  int32_t millis;
};

// A time body of length bytes: decimal seconds, then three digits of
// milliseconds at its end. The milliseconds are corrected by half the round
// trip and their whole seconds carried. Reads the seconds as atoi would (up to
// the first non-digit before the milliseconds), but refuses a body whose last
// three bytes are not all digits, or whose seconds, before or after the carry,
// lie past kLastCalendarSecond (the end of the year 9999): such bytes are no
// time. Returns false then and leaves out untouched; the body is never
// modified.
bool ParseTimeBody(const char* body, int length, int32_t roundTripMs, BaseTime* out);

// A reply body read as a whole: its class, where Time means the body also
// parsed as a time (written to out); a time-like body that does not parse is
// Unknown, and out stays untouched.
ReplyClass ReadTimeReply(const char* body, int length, int32_t roundTripMs, BaseTime* out);

// Cuts text at the first separator and returns the rest after it; without a
// separator the text stays whole and the result is its terminator.
char* SplitAtChar(char* text, char separator);

// The first byte that is not a space, CR, LF or tab.
char* SkipBannerSpace(char* text);

// The upgrade message for the text after the "#", cut (snprintf-style) to
// capacity bytes with its terminator.
void FormatUpgradeMessage(const char* rest, char* message, int capacity);
