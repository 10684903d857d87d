#pragma once
// For the Linux services whose failures carry a code of their own beside the
// errno value they report (the resolver's EAI_ codes): they note that code
// and its wording for SystemErrorOf.

// Notes code and text as the system's account of error, for the next
// SystemErrorOf(error) on this thread only; returns error.
int SystemErrorNote(int code, const char* text, int error);
