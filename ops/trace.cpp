#include "ops/trace.h"

#include <cstdio>
#include <cstring>

#include "ops/messages.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "ports/port_trace.h"
#include "protocol/frame_describe.h"

bool TraceStart(const char* path, std::string& message, std::string& reason) {
  int error = 0;
  std::FILE* stream = std::strcmp(path, "-") == 0 ? stderr : FileOpenForWriting(path, error);
  if (stream == nullptr) {
    message = MsgTraceOpenFailed;
    reason = MsgTraceFileReason(path, FileErrorText(error));
    return false;
  }
  PortTraceSetDescriber(FrameDescribe);
  PortTraceStart(stream);
  return true;
}

bool TraceStartFromEnvironment(std::string& message, std::string& reason) {
  std::string path;
  if (!PlatformEnvironment(TraceVariable, path) || path.empty()) return true;
  return TraceStart(path.c_str(), message, reason);
}

void TraceStop() { PortTraceStop(); }
