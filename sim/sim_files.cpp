// The simulated converter's files: the settings record it keeps across runs
// and the image an update session leaves.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "sim/sim_converter.h"

namespace {

constexpr int kMaxLinkHops = 40;  // as the kernel's own bound on a path's links

// Follows path link by link to the file it names, which need not exist yet (a
// dangling link names the file to create); a relative link is read from its
// own folder. Not realpath(): under umockdev's preload it smashed the stack.
int FollowLinks(std::string& path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    if (length < 0) return errno == EINVAL || errno == ENOENT ? 0 : errno;  // not a link: the file itself
    if (static_cast<size_t>(length) == sizeof target) return ENAMETOOLONG;
    std::string next(target, static_cast<size_t>(length));
    const size_t slash = path.rfind('/');
    if (next[0] != '/' && slash != std::string::npos) next.insert(0, path, 0, slash + 1);
    path = next;
  }
  return ELOOP;
}

// Writes data to the file path names through a temporary file beside it, so a
// crash never leaves half a file and a link to the file stays a link. The
// temporary file gets a fresh name and is created exclusively: a link planted
// where it goes is never followed.
int WriteFileAtomically(std::string path, const uint8_t* data, size_t count) {
  const int followed = FollowLinks(path);
  if (followed != 0) return followed;
  std::string temporary = path + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) return errno;
  fchmod(fd, 0644);  // as an ordinary new file, not mkstemp's 0600
  FILE* f = fdopen(fd, "wb");
  if (f == nullptr) {
    const int error = errno;
    close(fd);
    std::remove(temporary.c_str());
    return error;
  }
  const bool written = std::fwrite(data, 1, count, f) == count;
  const int error = errno;
  if (std::fclose(f) != 0 || !written) {
    std::remove(temporary.c_str());
    return error != 0 ? error : EIO;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int renameError = errno;
    std::remove(temporary.c_str());
    return renameError;
  }
  return 0;
}

}  // namespace

int SimConverter::UseMemoryFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    if (errno != ENOENT) return errno;
    memoryFile_ = path;  // created by the first save
    return 0;
  }
  uint8_t record[SimDefaultSettings.size() + 1];
  const size_t got = std::fread(record, 1, sizeof record, f);
  std::fclose(f);
  if (got != SimDefaultSettings.size()) return EINVAL;
  for (uint32_t i = 0; i < got; ++i) memory_[i] = record[i];
  memoryFile_ = path;
  return 0;
}

void SimConverter::UseImageFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  imageFile_ = path;
}

int SimConverter::SaveFiles() {
  std::lock_guard<std::mutex> lock(mutex_);
  const int memory = SaveMemoryLocked();
  const int image = SaveImageLocked();
  return memory != 0 ? memory : image;
}

int SimConverter::SaveMemoryLocked() const {
  if (memoryFile_.empty()) return 0;
  SimSettings s{};
  for (uint32_t i = 0; i < s.size(); ++i) s[i] = MemoryAt(i);
  return WriteFileAtomically(memoryFile_, s.data(), s.size());
}

int SimConverter::SaveImageLocked() {
  if (imageFile_.empty() || !imageDirty_) return 0;
  const int error = WriteFileAtomically(imageFile_, image_.data(), image_.size());
  if (error == 0) imageDirty_ = false;
  return error;
}
