#include "sync/time_exchange.h"

#include "app/format_text.h"

TimeExchange RequestTime(const char* host, char* exchange, ProxySettings proxy) {
  FormatText(exchange, kExchangeCapacity, kTimeTargetFormat, kTimeQuery);
  int32_t roundTripMs = 0;
  TimeExchange result{};
  result.reply = ReplyClass::Unknown;
  // One buffer for target and reply: HttpGet forms the request first.
  result.length =
      HttpGetOrProxy(proxy, host, exchange, exchange, kExchangeCapacity - 1, &roundTripMs);
  if (result.length >= 1)
    result.reply = ReadTimeReply(exchange, result.length, roundTripMs, &result.base);
  return result;
}
