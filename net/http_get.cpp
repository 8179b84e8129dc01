#include "net/http_get.h"

int HttpGet(const char*, const char*, char*, int, int32_t*) { return -1; }

bool ConnectWithTimeout(SOCKET, const sockaddr_in*, int) { return false; }
