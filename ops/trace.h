#pragma once
// The frame trace of rs485ctl --trace FILE and of the window's RS485_TRACE:
// the file it goes to, and the meaning of the converter's frames in its lines
// (ports/port_trace.h, protocol/frame_describe.h). Opens are traced by
// OpenPortForExchange, which knows their reasons.

#include <string>

inline constexpr const char* TraceVariable = "RS485_TRACE";

// Starts the trace into the file at path, created or emptied, or into
// standard error for "-". true; or false with the message and the reason for
// the user when the file cannot be written (a FIFO nobody reads is refused at
// once) or is the device of portName (may be nullptr: not known yet), and
// nothing is traced.
bool TraceStart(const char* path, const char* portName, std::string& message, std::string& reason);

// The window's start: the trace RS485_TRACE names, when it is set. false with
// the message and the reason when its file cannot be written.
bool TraceStartFromEnvironment(std::string& message, std::string& reason);

// Before a port opens for an exchange: a trace whose file is that port's
// device stops there, before anything is written into the converter's line.
void TraceBeforeOpen(const char* portName);

// Why the trace is incomplete (a write failed, or it stopped before the
// port), for the user after the operation; empty while it is whole.
std::string TraceProblem();

// Ends the trace and closes its file.
void TraceStop();
