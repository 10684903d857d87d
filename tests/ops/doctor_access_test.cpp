// What doctor advises a user who may not open the converter's node. The node
// is a real one in a scratch folder (its owner, group and mode are read as
// doctor reads them); the user, who cannot be another here, is told through
// the facts of this process.

#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ops/doctor.h"
#include "platform/diagnostics.h"
#include "support/scratch_dir.h"

namespace {

gid_t GroupId(const char* name) {
  const group* entry = getgrnam(name);
  return entry != nullptr ? entry->gr_gid : 0;
}

TEST(DoctorAccess, AGroupIsAdvisedOnlyWhenItGivesReadAndWrite) {
  ScratchDir scratch;
  const std::string node = scratch.path() + "/ttyACM0";
  if (mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) GTEST_SKIP() << "no device node can be made here";
  const std::string join = "sudo usermod -aG";
  const std::string mode = "chmod 0660";
  const std::string relogin = "выйдите из системы и войдите заново";
  const struct {
    const char* group;
    mode_t mode;
    bool inGroupNow;
    bool inGroupListed;
    std::string advised;  // what the advice holds
  } cases[] = {
      {"root", 0600, false, false, mode},
      {"root", 0660, false, false, mode},
      {"dialout", 0600, true, true, mode},
      {"dialout", 0660, false, false, join + " dialout"},
      {"dialout", 0660, false, true, relogin},
      {"tty", 0620, false, false, mode},
  };
  for (const auto& c : cases) {
    char what[64];
    std::snprintf(what, sizeof what, "root:%s %04o", c.group, static_cast<unsigned>(c.mode));
    ASSERT_EQ(chown(node.c_str(), 0, GroupId(c.group)), 0) << what;
    ASSERT_EQ(chmod(node.c_str(), c.mode), 0) << what;
    DiagPortFacts facts;
    DiagPort(node.c_str(), "rs485-converter", facts);
    ASSERT_TRUE(facts.node && facts.permissionsKnown) << what;
    // An unprivileged user who does not own the node.
    std::snprintf(facts.user, sizeof facts.user, "%s", "technician");
    facts.mayOpen = facts.privileged = facts.owns = facts.seatAccess = false;
    facts.inGroupNow = c.inGroupNow;
    facts.inGroupListed = c.inGroupListed;
    const DoctorCheck check = DoctorAccessCheck(facts);
    EXPECT_EQ(check.verdict, DoctorFailed) << what;
    EXPECT_NE(check.detail.find(std::string("группа ") + c.group), std::string::npos) << what << "\n" << check.detail;
    EXPECT_NE(check.advice.find(c.advised), std::string::npos) << what << "\n" << check.advice;
    // Never a group that would not help, nor the administrators'.
    EXPECT_EQ(check.advice.find(join) != std::string::npos, c.advised == join + " dialout") << what << "\n" << check.advice;
  }
}

}  // namespace
