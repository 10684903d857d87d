#include "platform/diagnostics.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/serial.h"

namespace {

// Where udev reads rules from, the administrator's first.
constexpr const char* kRuleFolders[] = {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/local/lib/udev/rules.d",
                                        "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};

void Copy(char* to, size_t size, const std::string& text) { std::snprintf(to, size, "%s", text.c_str()); }

std::string UserName(uid_t uid) {
  const passwd* entry = getpwuid(uid);
  return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  const group* entry = getgrgid(gid);
  return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

bool ProcessHasGroup(gid_t gid) {
  if (getegid() == gid) return true;
  const int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  const int got = getgroups(count, groups.data());
  for (int k = 0; k < got; ++k)
    if (groups[static_cast<size_t>(k)] == gid) return true;
  return false;
}

// The groups the user database gives the user: what the next login brings.
bool UserListedInGroup(uid_t uid, gid_t gid) {
  const passwd* entry = getpwuid(uid);
  if (entry == nullptr) return false;
  const std::string name = entry->pw_name;
  const gid_t primary = entry->pw_gid;
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (getgrouplist(name.c_str(), primary, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(name.c_str(), primary, groups.data(), &count) < 0) return false;
  }
  for (int k = 0; k < count; ++k)
    if (groups[static_cast<size_t>(k)] == gid) return true;
  return false;
}

// An entry of the node's access ACL for this user with read and write, within
// the ACL's mask: what systemd-logind gives the user at the seat (uaccess).
// The extended attribute holds a version word and entries of tag, permission
// and id, little-endian.
bool SeatAccess(const char* path, uid_t uid) {
  uint8_t acl[1024];
  const ssize_t size = getxattr(path, "system.posix_acl_access", acl, sizeof acl);
  if (size < 4) return false;
  constexpr uint16_t kUser = 0x02;
  constexpr uint16_t kMask = 0x10;
  constexpr uint16_t kReadWrite = 0x06;
  const auto u16 = [&](size_t at) { return static_cast<uint16_t>(acl[at] | acl[at + 1] << 8); };
  const auto u32 = [&](size_t at) { return static_cast<uint32_t>(u16(at) | static_cast<uint32_t>(u16(at + 2)) << 16); };
  uint16_t mask = 0x07;
  bool user = false;
  uint16_t userPermissions = 0;
  for (size_t at = 4; at + 8 <= static_cast<size_t>(size); at += 8) {
    if (u16(at) == kMask) mask = u16(at + 2);
    if (u16(at) == kUser && u32(at + 4) == uid) {
      user = true;
      userPermissions = u16(at + 2);
    }
  }
  return user && (userPermissions & mask & kReadWrite) == kReadWrite;
}

std::string RealPath(const char* path) {
  char resolved[PATH_MAX];
  return realpath(path, resolved) != nullptr ? resolved : std::string();
}

// udev's database entry of a character device holds its properties as "E:" lines.
bool MarkedMmIgnore(dev_t rdev) {
  char path[64];
  std::snprintf(path, sizeof path, "/run/udev/data/c%u:%u", major(rdev), minor(rdev));
  std::ifstream entry(path);
  for (std::string line; std::getline(entry, line);)
    if (line == "E:ID_MM_DEVICE_IGNORE=1") return true;
  return false;
}

bool ProgramRuns(const char* program) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (const dirent* process = readdir(proc)) {
    char* end = nullptr;
    std::strtol(process->d_name, &end, 10);
    if (*end != '\0' || end == process->d_name) continue;
    std::ifstream comm(std::string("/proc/") + process->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == program) {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

}  // namespace

void DiagPort(const char* portName, const char* linkName, DiagPortFacts& facts) {
  facts = DiagPortFacts{};
  struct stat node {};
  if (!SerialDevicePath(portName, facts.path, sizeof facts.path) || stat(facts.path, &node) != 0 ||
      !S_ISCHR(node.st_mode))
    return;
  facts.node = true;

  const uid_t uid = getuid();
  facts.permissionsKnown = true;
  facts.mode = node.st_mode & 07777;
  Copy(facts.owner, sizeof facts.owner, UserName(node.st_uid));
  Copy(facts.group, sizeof facts.group, GroupName(node.st_gid));
  facts.rootGroup = node.st_gid == 0;
  Copy(facts.user, sizeof facts.user, UserName(uid));
  facts.mayOpen = access(facts.path, R_OK | W_OK) == 0;
  facts.privileged = geteuid() == 0;
  facts.owns = node.st_uid == uid;
  facts.inGroupNow = ProcessHasGroup(node.st_gid);
  facts.inGroupListed = UserListedInGroup(uid, node.st_gid);
  facts.seatAccess = SeatAccess(facts.path, uid);

  char link[sizeof facts.path];
  facts.udevKnown = true;
  facts.linked = SerialDevicePath(linkName, link, sizeof link) && !RealPath(link).empty() &&
                 RealPath(link) == RealPath(facts.path);
  facts.mmIgnore = MarkedMmIgnore(node.st_rdev);
}

void DiagSystem(const char* ruleName, DiagSystemFacts& facts) {
  facts = DiagSystemFacts{};
  for (const char* folder : kRuleFolders) {
    struct stat info {};
    if (stat(folder, &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    facts.udevRules = true;
    const std::string rule = std::string(folder) + "/" + ruleName;
    if (facts.ruleFile[0] == '\0' && access(rule.c_str(), F_OK) == 0)
      Copy(facts.ruleFile, sizeof facts.ruleFile, rule);
  }
  DIR* proc = opendir("/proc");
  facts.processesKnown = proc != nullptr;
  if (proc != nullptr) closedir(proc);
  facts.modemManager = facts.processesKnown && ProgramRuns("ModemManager");
}
