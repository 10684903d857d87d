#pragma once
// Console service for the command-line program: its messages are UTF-8 text.

// Makes the console show UTF-8 output as text (a Windows console otherwise
// reads it in its own code page); nothing to do where UTF-8 is the rule.
void PlatformConsoleInit();

// True when standard error goes to a terminal (a progress bar may be redrawn).
bool PlatformStderrIsTerminal();
