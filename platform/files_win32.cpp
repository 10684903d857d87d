#include "platform/files.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

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
  // A pipe without its server fails at once here: nothing waits.
  std::FILE* file = _wfopen(WideFromUtf8(path).c_str(), L"wb");
  error = file != nullptr ? 0 : errno;
  return file;
}

int FileWrite(std::FILE* file, const void* data, size_t size, size_t& written) {
  const int fd = _fileno(file);
  const auto* bytes = static_cast<const char*>(data);
  for (written = 0; written < size;) {
    const unsigned part = static_cast<unsigned>(std::min<size_t>(size - written, 1u << 30));
    const int n = _write(fd, bytes + written, part);
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    written += static_cast<size_t>(n);
  }
  return 0;
}

int FileCut(std::FILE* file, uint64_t length) {
  const int fd = _fileno(file);
  if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) != FILE_TYPE_DISK) return 0;
  return _chsize_s(fd, static_cast<long long>(length));
}

namespace {

// The full form of a path; a device's name (COM3, even c:\x\COM3 on older
// systems) comes back as \\.\COM3.
std::wstring FullPath(const char* path) {
  const std::wstring wide = WideFromUtf8(path);
  wchar_t full[1024];
  const DWORD length = GetFullPathNameW(wide.c_str(), 1024, full, nullptr);
  return length == 0 || length >= 1024 ? std::wstring() : std::wstring(full, length);
}

// What a device name stands for (\Device\Serial0), or the name itself.
std::wstring DeviceTarget(const std::wstring& name) {
  wchar_t target[1024];
  return QueryDosDeviceW(name.c_str(), target, 1024) != 0 ? std::wstring(target) : name;
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
  BY_HANDLE_FILE_INFORMATION info[2]{};
  bool known = true;
  const std::wstring* paths[2] = {&a, &b};
  for (int k = 0; k < 2; ++k) {
    const HANDLE h = CreateFileW(paths[k]->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    known = known && GetFileInformationByHandle(h, &info[k]) != 0;
    CloseHandle(h);
  }
  return known && info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

}  // namespace

bool FileSameDevice(const char* a, const char* b) {
  const std::wstring first = FullPath(a), second = FullPath(b);
  if (first.empty() || second.empty()) return false;
  // Devices are told by what their names stand for: a serial port cannot be
  // opened a second time to be looked at.
  const std::wstring device = L"\\\\.\\";
  const bool firstDevice = first.rfind(device, 0) == 0, secondDevice = second.rfind(device, 0) == 0;
  if (firstDevice != secondDevice) return false;
  if (!firstDevice) return SameFile(first, second);
  return CompareStringOrdinal(DeviceTarget(first.substr(4)).c_str(), -1, DeviceTarget(second.substr(4)).c_str(), -1,
                              TRUE) == CSTR_EQUAL;
}
