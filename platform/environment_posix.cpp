#include "platform/environment.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

bool PlatformEnvironment(const char* name, std::string& value) {
  const char* text = std::getenv(name);
  if (text == nullptr) return false;
  value = text;
  return true;
}

std::string PlatformComputerName() {
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 ? name : std::string();
}

std::string PlatformUserName() {
  // The account the program runs as, whatever $USER says.
  const passwd* user = getpwuid(geteuid());
  return user != nullptr && user->pw_name != nullptr ? user->pw_name : std::string();
}
