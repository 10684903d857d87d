#include "platform/folders.h"

#include <unistd.h>

// A program started from the menu runs in the home folder, which the user
// can write: the current folder always stays.
std::string FolderChooseWorking(const char*) {
  char current[4096];
  return getcwd(current, sizeof current) != nullptr ? current : std::string();
}
