// One time request to the time server and its reply read as plain values:
// the exchange the program and the clock service both make.
#pragma once
#include "net/proxy_get.h"
#include "sync/protocol.h"

struct TimeExchange {
  int length;        // HttpGet's result: the body's length, or below 0 for no reply
  ReplyClass reply;  // when length >= 1; Time only for a body that parsed as a time
  BaseTime base;     // when reply is Time: the server time corrected by half the round trip
  // True only for a time from an HTTPS server whose chain verified at the
  // time it sent; a plain reply is never authenticated.
  bool authenticated;
};

// exchange (kExchangeCapacity bytes) holds the request target and then what
// came back: the body, or the target while nothing did. When the direct
// exchange cannot begin, the proxy of the given settings is tried.
TimeExchange RequestTime(const char* host, char* exchange, ProxySettings proxy);
