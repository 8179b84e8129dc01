// One HTTP/1.1 GET over a fresh TCP connection to port 80.
#pragma once
#include <winsock2.h>

#include <cstdint>

// Returns the body length (the body, zero-terminated, now starts the buffer)
// or -1 no address, -2 no socket, -3 no connection within 5 s, -4 send
// incomplete, -5 nothing received, -6 no header end. roundTripMs is written
// only once the whole request was sent. target may lie inside buffer.
int HttpGet(const char* host, const char* target, char* buffer, int size,
            int32_t* roundTripMs);

// True when the connection was established within the time-out.
bool ConnectWithTimeout(SOCKET socket, const sockaddr_in* address, int timeoutSeconds);
