#include "sync/time_exchange.h"

#include "app/format_text.h"
#include "net/server_address.h"

TimeExchange RequestTime(const char* server, char* exchange, ProxySettings proxy,
                         ExchangeRoute* route) {
  FormatText(exchange, kExchangeCapacity, kTimeTargetFormat, kTimeQuery);
  int32_t roundTripMs = 0;
  TimeExchange result{};
  result.reply = ReplyClass::Unknown;
  ServerCertificate certificate;
  // One buffer for target and reply: the exchange forms the request first.
  result.length = ServerGet({proxy, route, server, exchange, &certificate}, exchange,
                            kExchangeCapacity - 1, &roundTripMs);
  if (result.length >= 1)
    result.reply = ReadTimeReply(exchange, result.length, roundTripMs, &result.base);
  ServerAddress address;
  if (result.reply == ReplyClass::Time && ReadServerAddress(server, &address) && address.secure)
    result.authenticated = certificate.VerifiesAt(address.host, result.base.seconds);
  return result;
}
