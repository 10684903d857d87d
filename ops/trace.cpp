#include "ops/trace.h"

#include <cstdio>
#include <cstring>

#include "ops/messages.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/serial.h"
#include "ports/port_trace.h"
#include "protocol/frame_describe.h"

namespace {

std::string gPath;     // the trace's file as named
std::string gProblem;  // why the trace stopped before its end, besides a failed write

// A trace into the very device the exchange goes through would mix its lines
// into the converter's line.
bool IsPort(const std::string& path, const char* portName) {
  char device[256];
  return path != "-" && SerialDevicePath(portName, device, sizeof device) &&
         FileSameDevice(path.c_str(), device);
}

}  // namespace

bool TraceStart(const char* path, const char* portName, std::string& message, std::string& reason) {
  gPath = path;
  gProblem.clear();
  if (portName != nullptr && portName[0] != '\0' && IsPort(gPath, portName)) {
    message = MsgTraceOpenFailed;
    reason = MsgTracePortReason(path, portName);
    return false;
  }
  int error = 0;
  std::FILE* stream = std::strcmp(path, "-") == 0 ? stderr : FileOpenForWriting(path, error);
  if (stream == nullptr) {
    message = MsgTraceOpenFailed;
    reason = MsgTraceFileReason(path, error, FileErrorText(error));
    return false;
  }
  PortTraceSetDescriber(FrameDescribe);
  PortTraceStart(stream);
  return true;
}

bool TraceStartFromEnvironment(std::string& message, std::string& reason) {
  std::string path;
  if (!PlatformEnvironment(TraceVariable, path) || path.empty()) return true;
  return TraceStart(path.c_str(), nullptr, message, reason);
}

void TraceBeforeOpen(const char* portName) {
  if (!PortTraceOn() || !IsPort(gPath, portName)) return;
  PortTraceStop();
  gProblem = MsgTracePortReason(gPath, portName);
}

std::string TraceProblem() {
  if (!gProblem.empty()) return gProblem;
  const int failure = PortTraceFailure();
  return failure == 0 ? std::string() : MsgTraceWriteReason(gPath, FileErrorText(failure));
}

void TraceStop() { PortTraceStop(); }
