#include "support/scratch_dir.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

ScratchDir::ScratchDir() {
  char tmpl[] = "/tmp/rs485-test-XXXXXX";
  const char* made = mkdtemp(tmpl);
  EXPECT_NE(made, nullptr);
  path_ = made != nullptr ? made : "/tmp";
  previous_ = std::filesystem::current_path().string();
  std::filesystem::current_path(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
  std::filesystem::remove_all(path_, ignored);
}
