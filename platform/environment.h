#pragma once
// The process's environment variables, in UTF-8 on every system.

#include <string>

// The value of the variable name; false when it is not set.
bool PlatformEnvironment(const char* name, std::string& value);

// The computer's name; empty when it cannot be told.
std::string PlatformComputerName();

// The name of the user this program runs as; empty when it cannot be told.
std::string PlatformUserName();
