#pragma once
// The frame trace: one line per event on a port, with a monotonic millisecond
// stamp relative to the trace's start, the port's name, the event, the bytes
// in hex and what they mean, separated by tabs (a tab, CR or LF in a name or
// a meaning is written \t, \r, \n). Events: bytes written ("out"), bytes
// delivered to the caller ("in"), a timed read that ran out ("timeout", with
// what did arrive), an open with its result and a close. Each line goes out
// whole in one write.
//
// Off by default. Every hook is called behind PortTraceOn(), one load of a
// flag, so nothing is formatted while it is off. The layer knows bytes, not
// frames: what they mean comes from a describer installed from above.

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct RxRing;

enum PortTraceKind : uint8_t { TraceOut, TraceIn, TraceTimeout, TraceClose };

struct PortTraceEvent {
  uint16_t port;     // its PortId
  const char* name;  // its name, as opened
  PortTraceKind kind;
  const uint8_t* bytes;  // written, delivered, or what arrived of a read that ran out
  uint32_t count;
  uint32_t wanted;   // TraceTimeout: the bytes the read asked for
  int32_t waitedMs;  // TraceTimeout: the read's time-out
};

// Writes what an event means into text (terminated, cut to size), or leaves it
// empty. Sees every event of every port, closes included, in order.
using PortTraceDescriber = void (*)(const PortTraceEvent& event, char* text, size_t size);

extern bool PortTraceEnabled;
inline bool PortTraceOn() { return PortTraceEnabled; }

// Starts tracing into stream, which the trace owns from now on (closes it at
// the stop) unless it is stderr. A trace already running is stopped first.
void PortTraceStart(std::FILE* stream);
void PortTraceStop();

// 0 while every line went out; else the errno value of the write that failed,
// from which on nothing more is traced (a file the trace owns is cut back to
// its last whole line). Kept after the stop, until the next start.
int PortTraceFailure();

// nullptr: lines without meanings.
void PortTraceSetDescriber(PortTraceDescriber describer);

// The hooks, each with the port's PortId and name. An open is traced by
// whoever knows its reason: result is empty for a port that opened, else why
// it did not.
void PortTraceWrite(uint16_t port, const char* name, const uint8_t* bytes, uint32_t count);
// A read of wanted bytes into buffer that ended: done, or ran out after
// waitedMs with the first taken bytes in buffer and what else came in ring.
void PortTraceRead(uint16_t port, const char* name, const uint8_t* buffer, uint32_t wanted, uint32_t taken,
                   bool done, int32_t waitedMs, const RxRing& ring);
void PortTraceOpen(const char* name, const char* result);
void PortTraceClose(uint16_t port, const char* name);
