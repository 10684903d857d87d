#pragma once
// SHA-256 (FIPS 180-4) of a firmware image: its identity in results, the
// journal and a plan, whatever the file was called.

#include <cstddef>
#include <cstdint>
#include <string>

struct Sha256State {
  uint32_t hash[8];
  uint8_t block[64];
  size_t used = 0;      // bytes waiting in block
  uint64_t length = 0;  // bytes taken in all
};

void Sha256Begin(Sha256State& state);
void Sha256Add(Sha256State& state, const uint8_t* data, size_t count);
// The digest as 64 lower-case hex digits; the state is used up.
std::string Sha256End(Sha256State& state);

// The digest of count bytes at once.
std::string Sha256Hex(const uint8_t* data, size_t count);

// True when text is 64 hex digits (either case): a digest as a user gives it.
bool Sha256IsHex(const std::string& text);
