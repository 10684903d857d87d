#include "ports/port_trace.h"

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/time.h"
#include "ports/rx_ring.h"

bool PortTraceEnabled = false;

namespace {

std::FILE* gStream = nullptr;
uint32_t gStartMs = 0;
uint64_t gWhole = 0;  // bytes of the whole lines written
int gFailure = 0;
PortTraceDescriber gDescriber = nullptr;

// A field that may hold anything (a port's name, a reason): tab, CR and LF
// escaped, so that a line keeps its five fields.
void AppendField(std::string& line, const char* text) {
  for (; *text != '\0'; ++text) {
    switch (*text) {
      case '\t': line += "\\t"; break;
      case '\r': line += "\\r"; break;
      case '\n': line += "\\n"; break;
      default: line += *text;
    }
  }
}

void Line(const char* port, const char* event, const uint8_t* bytes, uint32_t count, const char* meaning) {
  // Stamps are differences of one monotonic count, written in the order the
  // events happen on the layer's one thread: they never decrease.
  std::string line = std::to_string(PlatformTickMs() - gStartMs) + '\t';
  AppendField(line, port);
  line.append(1, '\t').append(event).append(1, '\t');
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (uint32_t i = 0; i < count; ++i) {
    if (i > 0) line += ' ';
    line += kHex[bytes[i] >> 4];
    line += kHex[bytes[i] & 15];
  }
  line += '\t';
  AppendField(line, meaning);
  line += '\n';
  // The line whole in one write: workers tracing into one pipe never cut
  // into each other's lines, and a program stopped by a signal leaves its
  // lines behind.
  size_t written = 0;
  gFailure = FileWrite(gStream, line.data(), line.size(), written);
  if (gFailure == 0) {
    gWhole += written;
    return;
  }
  // Nothing after a gap: the trace ends at its last whole line.
  PortTraceEnabled = false;
  if (gStream != stderr) FileCut(gStream, gWhole);
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
  gWhole = 0;
  gFailure = 0;
  PortTraceEnabled = stream != nullptr;
}

void PortTraceStop() {
  if (gStream != nullptr && gStream != stderr) std::fclose(gStream);
  gStream = nullptr;
  PortTraceEnabled = false;
}

int PortTraceFailure() { return gFailure; }

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
