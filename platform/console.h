#pragma once
// Console service for the command-line program: its standard streams, the
// terminal's width, and UTF-8 text written so that a console shows it.

#include <cstddef>
#include <cstdio>

// Run first, before any file is opened: standard input, output and error are
// open from here on. One that was closed is filled with the null device opened
// for reading only, so that a file opened later never takes its place (results
// would land in it) and writes to it fail as they should. A write to a pipe
// whose reader has gone fails with an error instead of ending the process, and
// so does a write past the file size limit (ulimit -f).
void PlatformStdStreamsInit();

// True when standard error goes to a terminal (a progress bar may be redrawn).
bool PlatformStderrIsTerminal();

// Columns of the terminal standard error goes to; 0 when it is none or the
// width cannot be told.
int PlatformStderrColumns();

// Writes UTF-8 text to stream. A console of the system is given the text as
// characters (whatever its code page); files and pipes get the bytes. False
// when the text could not be written.
bool PlatformWriteText(std::FILE* stream, const char* text, size_t length);

// Standard output takes bytes as they are from now on: on Windows no LF
// becomes CR LF (a CSV's own CR LF must stay). Nothing changes on Linux.
void PlatformStdoutBinary();
