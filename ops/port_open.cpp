#include "ops/port_open.h"

#include "ops/messages.h"
#include "ops/trace.h"

#include "ports/port_io.h"
#include "ports/port_trace.h"

namespace {

bool OpenAndLink(const char* portName, PortId& portId) {
  if (PortOpen(portId, portName) != 0) {
    portId = 0;
    return false;
  }
  if (PortWaitLink(portId, PortLinkWaitMs) != 0) return true;
  PortClose(portId);  // PortLastFailure keeps the missing link as the reason
  portId = 0;
  return false;
}

}  // namespace

bool OpenPortForExchange(const char* portName, PortId& portId) {
  TraceBeforeOpen(portName);
  const bool opened = OpenAndLink(portName, portId);
  // Traced here, where the reason of a failure is known in the user's words.
  if (PortTraceOn()) PortTraceOpen(portName, opened ? "" : PortFailureReason(PortLastFailure()).c_str());
  return opened;
}
