#pragma once
// What the converter's bytes mean, for the frame trace (ports/port_trace.h):
// requests by their command and parameters, answers by the request they
// answer (the last one sent on that port), with their check bytes verified.
// The trace's meaning words are all here, in English.

#include <cstddef>

#include "ports/port_trace.h"

// The describer for PortTraceSetDescriber.
void FrameDescribe(const PortTraceEvent& event, char* text, size_t size);
