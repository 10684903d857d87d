#include "ports/port_trace.h"

#include <vector>

#include "platform/time.h"
#include "ports/rx_ring.h"

bool PortTraceEnabled = false;

namespace {

std::FILE* gStream = nullptr;
uint32_t gStartMs = 0;
PortTraceDescriber gDescriber = nullptr;

void Line(const char* port, const char* event, const uint8_t* bytes, uint32_t count, const char* meaning) {
  // Stamps are differences of one monotonic count, written in the order the
  // events happen on the layer's one thread: they never decrease.
  std::fprintf(gStream, "%u\t%s\t%s\t", PlatformTickMs() - gStartMs, port, event);
  for (uint32_t i = 0; i < count; ++i) std::fprintf(gStream, i == 0 ? "%02X" : " %02X", bytes[i]);
  std::fprintf(gStream, "\t%s\n", meaning);
  std::fflush(gStream);  // a program stopped by a signal still leaves its lines
}

void Event(const PortTraceEvent& event, const char* what) {
  char meaning[256] = "";
  if (gDescriber != nullptr) gDescriber(event, meaning, sizeof meaning);
  Line(event.name, what, event.bytes, event.count, meaning);
}

}  // namespace

void PortTraceStart(std::FILE* stream) {
  PortTraceStop();
  gStream = stream;
  gStartMs = PlatformTickMs();
  PortTraceEnabled = stream != nullptr;
}

void PortTraceStop() {
  if (gStream != nullptr && gStream != stderr) std::fclose(gStream);
  gStream = nullptr;
  PortTraceEnabled = false;
}

void PortTraceSetDescriber(PortTraceDescriber describer) { gDescriber = describer; }

void PortTraceWrite(uint16_t port, const char* name, const uint8_t* bytes, uint32_t count) {
  if (PortTraceEnabled) Event({port, name, TraceOut, bytes, count, count, 0}, "out");
}

void PortTraceRead(uint16_t port, const char* name, const uint8_t* buffer, uint32_t wanted, uint32_t taken,
                   bool done, int32_t waitedMs, const RxRing& ring) {
  if (!PortTraceEnabled) return;
  if (done) {
    Event({port, name, TraceIn, buffer, wanted, wanted, 0}, "in");
    return;
  }
  // What came of a read that ran out: the bytes taken, and those the
  // transport left in the ring for the next read, looked at through a copy.
  RxRing look = ring;
  std::vector<uint8_t> arrived(buffer, buffer + taken);
  arrived.resize(taken + RxRingCount(look));
  RxRingTake(look, arrived.data() + taken, RxRingCount(look));
  Event({port, name, TraceTimeout, arrived.data(), static_cast<uint32_t>(arrived.size()), wanted, waitedMs},
        "timeout");
}

void PortTraceOpen(const char* name, const char* result) {
  if (PortTraceEnabled) Line(name, "open", nullptr, 0, result[0] != '\0' ? result : "ok");
}

void PortTraceClose(uint16_t port, const char* name) {
  if (PortTraceEnabled) Event({port, name, TraceClose, nullptr, 0, 0, 0}, "close");
}
