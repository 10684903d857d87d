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

// The user's folder for what a program keeps between runs, made when missing
// (with the folders above it): on Linux $XDG_STATE_HOME/<name>, or
// ~/.local/state/<name> when that is unset or not absolute; on Windows
// %LOCALAPPDATA%\<name>. Empty, with an errno value in error, when it cannot
// be told or made.
std::string FolderUserState(const char* name, int& error);
