// The pure halves of one HTTP exchange: the request text and the body
// extraction. No Windows header, so they build and run natively too.
#pragma once

// Results of HttpGet: a body length (0 or more) or one of these.
constexpr int kHttpNoAddress = -1;
constexpr int kHttpNoSocket = -2;
constexpr int kHttpNoConnection = -3;
constexpr int kHttpSendIncomplete = -4;  // also: a request too long to form
constexpr int kHttpNothingReceived = -5;
constexpr int kHttpNoHeaderEnd = -6;

// The request text, terminator included, never exceeds this.
constexpr int kRequestCapacity = 1024;

// Forms "GET target HTTP/1.1" with the Host and User-Agent lines into
// request (capacity bytes). Returns its length without the terminator, or -1
// when it would not fit; nothing is ever written past capacity bytes.
int FormatRequest(const char* host, const char* target, char* request, int capacity);

// buffer holds received bytes (received >= 1) and has room for one more.
// Terminates them, finds the first "\r\n\r\n" before the first zero byte and
// moves the body with its terminator to the buffer's start. Returns the body
// length, counting bytes after any zero byte inside the body, or -1 when no
// header end was found (the buffer then holds the received bytes,
// zero-terminated).
int ExtractBody(char* buffer, int received);
