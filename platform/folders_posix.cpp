#include "platform/folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

// A program started from the menu runs in the home folder, which the user
// can write: the current folder always stays.
std::string FolderChooseWorking(const char*) {
  char current[4096];
  return getcwd(current, sizeof current) != nullptr ? current : std::string();
}

namespace {

// mkdir -p: every folder of the path that is missing, private to the user.
int MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return errno;
  return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

}  // namespace

std::string FolderUserState(const char* name, int& error) {
  error = 0;
  const char* state = std::getenv("XDG_STATE_HOME");
  std::string base;
  if (state != nullptr && state[0] == '/') {
    base = state;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
      const passwd* user = getpwuid(geteuid());
      home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] != '/') {
      error = ENOENT;
      return std::string();
    }
    base = std::string(home) + "/.local/state";
  }
  const std::string folder = base + "/" + name;
  error = MakeFolders(folder);
  return error == 0 ? folder : std::string();
}
