#pragma once
// The system's entry point of a command-line program hands its arguments, in
// UTF-8 on every system (Windows gives them as UTF-16), to the program's own
// entry. A program links the rs485_entry object library and defines this.
int ProgramMain(int argc, char** argv);
