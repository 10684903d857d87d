// The simulated converter's frame log: a time stamp, the direction and the
// frame in hex, and a note.

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "sim/sim_converter.h"

namespace {

std::string Hex(const uint8_t* data, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(count * 3);
  for (size_t i = 0; i < count; ++i) {
    if (i != 0) s += ' ';
    s += kDigits[data[i] >> 4];
    s += kDigits[data[i] & 15];
  }
  return s;
}

}  // namespace

std::string SimLogStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  char withMs[24];
  std::snprintf(withMs, sizeof withMs, "%s.%03ld", stamp, ms);
  return withMs;
}

void SimConverter::Log(const char* what, const uint8_t* data, size_t count, const std::string& note) const {
  if (log_ == nullptr) return;
  std::fprintf(log_, "%s %s %s%s%s\n", SimLogStamp().c_str(), what, Hex(data, count).c_str(),
               note.empty() ? "" : "  | ", note.c_str());
  std::fflush(log_);
}
