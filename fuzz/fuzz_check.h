// What the fuzz targets share: a check that stops the run with its reason, and
// an input copied into a heap block of exactly the size the code may touch, so
// that AddressSanitizer reports the first byte beyond it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define FUZZ_CHECK(condition)                                                     \
  do {                                                                            \
    if (!(condition)) {                                                           \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

// A heap block of size + 1 bytes: the input, then one byte that is zero.
class ExactBuffer {
public:
  ExactBuffer(const uint8_t* data, size_t size) : size_(size), bytes_(new char[size + 1]) {
    if (size > 0) std::memcpy(bytes_, data, size);
    bytes_[size] = '\0';
  }
  ~ExactBuffer() { delete[] bytes_; }
  ExactBuffer(const ExactBuffer&) = delete;
  ExactBuffer& operator=(const ExactBuffer&) = delete;

  char* get() { return bytes_; }
  size_t size() const { return size_; }

private:
  size_t size_;
  char* bytes_;
};
