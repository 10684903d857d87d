#pragma once
// Folders service: the folder the program works in, where it keeps its log
// and looks for the files it sends. Paths are UTF-8.

#include <string>

// Makes the folder this program should work in the current one and returns
// it (empty when it cannot be told). A program started from a console works
// where it was started. On Windows a program started in its own folder (as
// the Start menu starts it, under Program Files) or in a folder it cannot
// write works in the user's Documents\<name> instead, made when missing.
std::string FolderChooseWorking(const char* name);
