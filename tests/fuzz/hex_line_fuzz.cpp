// ParseHexLine (dump/hex_text.cpp), what ConReadHex decodes a typed line
// with, over any bytes. The first input byte chooses the capacity: below
// 0x80 that many bytes, else (byte - 0x80) * 16, up to 2032 (readertest asks
// for 1024); the rest is the line, in a block of its exact length with no
// terminator, as ConReadHex passes it. Checked for every line:
// - it agrees with the reference parser below (written from hex_text.h) on
//   success, on the count and on every byte;
// - the output block has exactly the capacity; nothing is written beyond
//   the count, and on failure neither the bytes nor the count are touched;
// - what it decoded, written out again as "XX XX ..." (upper case, blanks)
//   and as one lower-case run with tabs around it, decodes to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dump/hex_text.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

const unsigned char kUntouched = 0xEE;
const size_t kCountUntouched = 0xC0FFEE;

int Digit(unsigned char c) {
  const char* const digits = "0123456789abcdef";
  const unsigned char lower = c >= 'A' && c <= 'F' ? static_cast<unsigned char>(c + 32) : c;
  for (int i = 0; i < 16; ++i) {
    if (digits[i] == lower) return i;
  }
  return -1;
}

// hex_text.h read plainly: tokens between spaces and tabs; each an even
// number of hex digits; at least one byte in all, at most the capacity.
bool ReferenceParse(const unsigned char* text, size_t length, size_t capacity,
                    std::vector<unsigned char>* bytes) {
  bytes->clear();
  size_t i = 0;
  while (i < length) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < length && text[end] != ' ' && text[end] != '\t') ++end;
    if ((end - i) % 2 != 0) return false;
    for (size_t k = i; k < end; k += 2) {
      const int high = Digit(text[k]);
      const int low = Digit(text[k + 1]);
      if (high < 0 || low < 0) return false;
      bytes->push_back(static_cast<unsigned char>(high * 16 + low));
    }
    i = end;
  }
  return !bytes->empty() && bytes->size() <= capacity;
}

// Parses into a block of exactly `capacity` bytes and checks what is left
// around the result; returns whether it succeeded and the bytes.
bool Parse(const std::string& line, size_t capacity, std::vector<unsigned char>* bytes) {
  std::unique_ptr<char[]> text(new char[line.size()]);
  if (!line.empty()) std::memcpy(text.get(), line.data(), line.size());
  std::unique_ptr<unsigned char[]> out(new unsigned char[capacity]);
  std::memset(out.get(), kUntouched, capacity);
  std::unique_ptr<size_t> count(new size_t(kCountUntouched));
  const bool ok = ParseHexLine(text.get(), line.size(), out.get(), capacity, count.get());
  FUZZ_CHECK(std::memcmp(text.get(), line.data(), line.size()) == 0);
  const size_t stored = ok ? *count : 0;
  if (ok) FUZZ_CHECK(stored >= 1 && stored <= capacity);
  if (!ok) FUZZ_CHECK(*count == kCountUntouched);
  for (size_t i = stored; i < capacity; ++i) FUZZ_CHECK(out[i] == kUntouched);
  bytes->assign(out.get(), out.get() + stored);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t capacity = data[0] < 0x80 ? data[0] : static_cast<size_t>(data[0] - 0x80) * 16;
  const std::string line(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::vector<unsigned char> expected;
  const bool expectedOk = ReferenceParse(data + 1, size - 1, capacity, &expected);
  std::vector<unsigned char> bytes;
  const bool ok = Parse(line, capacity, &bytes);
  FUZZ_CHECK(ok == expectedOk);
  if (!ok) return 0;
  FUZZ_CHECK(bytes == expected);

  std::string spaced;
  std::string run = "\t";
  char hex[4];
  for (unsigned char byte : bytes) {
    std::snprintf(hex, sizeof hex, "%02X ", byte);
    spaced += hex;
    std::snprintf(hex, sizeof hex, "%02x", byte);
    run += hex;
  }
  run += '\t';
  std::vector<unsigned char> again;
  FUZZ_CHECK(Parse(spaced, capacity, &again) && again == bytes);
  FUZZ_CHECK(Parse(run, capacity, &again) && again == bytes);
  // One byte less room than it needs is refused.
  FUZZ_CHECK(!Parse(spaced, bytes.size() - 1, &again));
  return 0;
}
