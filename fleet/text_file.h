#pragma once
// The text files a user names to the fleet: a profile, a ports file, a plan.

#include <cstdint>
#include <string>

// Reads the file at path whole, without the UTF-8 byte-order mark Notepad
// and spreadsheets start it with. false, with the problem in the user's
// words, for a file over maxBytes (said as sizeText, e.g. "1 МиБ"), one
// that is no regular file, or one the system cannot read.
bool FleetTextFileRead(const std::string& path, uint64_t maxBytes, const char* sizeText, std::string& text,
                       std::string& problem);
