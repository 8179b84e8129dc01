// One time request to the time server and its reply read as plain values:
// the exchange the program and the clock service both make.
#pragma once
#include "net/proxy_get.h"
#include "sync/protocol.h"

struct TimeExchange {
  int length;        // HttpGet's result: the body's length, or below 0 for no reply
  ReplyClass reply;  // when length >= 1; Time only for a body that parsed as a time
  BaseTime base;     // when reply is Time: the server time corrected by half the round trip
  // The time came over HTTPS from a server whose certificate verifies at
  // that very time and names it; false for every plain reply.
  bool authenticated;
};

// exchange (kExchangeCapacity bytes) holds the request target and then what
// came back: the body, or the target while nothing did. server is the
// Server setting (a host, or https://host[:port]). When the direct exchange
// cannot begin, the proxy of the given settings is tried; route remembers
// which way worked.
TimeExchange RequestTime(const char* server, char* exchange, ProxySettings proxy,
                         ExchangeRoute* route);
