#include "platform/files.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "platform/text_win32.h"

namespace {

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default: return EIO;
  }
}

}  // namespace

int FileReadAll(const char* path, uint64_t maxBytes, std::vector<uint8_t>& bytes) {
  bytes.clear();
  const std::wstring wide = WideFromUtf8(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return ErrnoOf(GetLastError());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EISDIR;
  const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ErrnoOf(GetLastError());
  int error = 0;
  LARGE_INTEGER size{};
  if (GetFileType(file) != FILE_TYPE_DISK)
    error = EINVAL;  // a device such as NUL or CON
  else if (!GetFileSizeEx(file, &size))
    error = ErrnoOf(GetLastError());
  else if (static_cast<uint64_t>(size.QuadPart) > maxBytes)
    error = EFBIG;
  if (error == 0) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t got = 0;
    for (;;) {
      // One block of room beyond the size tells a file that grew meanwhile.
      if (got == bytes.size()) bytes.resize(got + 4096);
      const size_t room = bytes.size() - got;
      DWORD read = 0;
      if (!ReadFile(file, bytes.data() + got, room > 0x10000000 ? 0x10000000 : static_cast<DWORD>(room), &read,
                    nullptr)) {
        error = ErrnoOf(GetLastError());
        break;
      }
      if (read == 0) break;
      got += read;
      if (got > maxBytes) {
        error = EFBIG;
        break;
      }
    }
    bytes.resize(got);
  }
  CloseHandle(file);
  if (error != 0) bytes.clear();
  return error;
}

std::string FileFolderOf(const char* path) {
  const std::wstring wide = WideFromUtf8(path);
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return std::string();
  std::wstring full(size, L'\0');
  wchar_t* name = nullptr;
  const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), &name);
  if (length == 0 || length >= size) return std::string();
  // The folder ends before the file's name; a drive's root keeps its backslash.
  size_t end = name != nullptr ? static_cast<size_t>(name - full.data()) : length;
  if (end > 0 && (full[end - 1] == L'\\' || full[end - 1] == L'/') && !(end >= 2 && full[end - 2] == L':')) --end;
  return Utf8FromWide(full.data(), end);
}

std::string FileBaseName(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p)
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  return name;
}

std::FILE* FileOpenForWriting(const char* path, int& error) {
  std::FILE* file = _wfopen(WideFromUtf8(path).c_str(), L"wb");
  error = file != nullptr ? 0 : errno;
  return file;
}
