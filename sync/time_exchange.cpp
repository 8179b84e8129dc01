#include "sync/time_exchange.h"

#include "app/format_text.h"
#include "net/http_get.h"

TimeExchange RequestTime(const char* host, char* exchange) {
  FormatText(exchange, kExchangeCapacity, kTimeTargetFormat, kTimeQuery);
  int32_t roundTripMs = 0;
  TimeExchange result{};
  result.reply = ReplyClass::Unknown;
  // One buffer for target and reply: HttpGet forms the request first.
  result.length = HttpGet(host, exchange, exchange, kExchangeCapacity - 1, &roundTripMs);
  if (result.length >= 1)
    result.reply = ReadTimeReply(exchange, result.length, roundTripMs, &result.base);
  return result;
}
