#pragma once
// The system's own account of a failure that the serial or sockets service
// reported in errno terms: the system's code and its wording, for the reason
// the user is shown. The errno value tells the caller what kind of failure it
// was; this tells the user what the system said.

struct SystemError {
  int code;        // errno on Linux; GetLastError's or WSAGetLastError's code on Windows
  char text[256];  // in the user's language, UTF-8, without a final period; may be empty
};

// The account of error, an errno value that the serial or sockets service
// returned from its last failed call on this thread.
SystemError SystemErrorOf(int error);
