#include "fleet/text_file.h"

#include <cerrno>
#include <vector>

#include "platform/files.h"

bool FleetTextFileRead(const std::string& path, uint64_t maxBytes, const char* sizeText, std::string& text,
                       std::string& problem) {
  std::vector<uint8_t> bytes;
  const int error = FileReadAll(path.c_str(), maxBytes, bytes);
  if (error != 0) {
    problem = error == EFBIG                        ? std::string("файл больше ") + sizeText
              : error == EISDIR || error == EINVAL ? "это не обычный файл (папка, канал или устройство)"
                                                   : FileErrorText(error);
    return false;
  }
  text.assign(bytes.begin(), bytes.end());
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  return true;
}
