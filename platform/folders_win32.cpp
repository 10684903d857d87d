#include "platform/folders.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cerrno>

#include "platform/text_win32.h"

namespace {

std::wstring CurrentFolder() {
  std::wstring folder(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
    if (length == 0) return std::wstring();
    if (length < folder.size()) {
      folder.resize(length);
      return folder;
    }
    folder.resize(length);
  }
}

std::wstring ProgramFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// By the file system's identity of the two folders, so that a short name, a
// letter case or a link that leads to the same folder counts as the same.
bool SameFolder(const std::wstring& a, const std::wstring& b) {
  BY_HANDLE_FILE_INFORMATION info[2]{};
  const std::wstring* paths[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    const HANDLE folder = CreateFileW(paths[i]->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return false;
    const BOOL ok = GetFileInformationByHandle(folder, &info[i]);
    CloseHandle(folder);
    if (!ok) return false;
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// Whether this user may make a file there, as the port log needs: a file of
// our own is made and dropped at once.
bool Writable(const std::wstring& folder) {
  const std::wstring probe = folder + L"\\~rs485-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  const HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

std::wstring UserFolder(const char* name) {
  PWSTR documents = nullptr;
  std::wstring folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Documents, KF_FLAG_CREATE, nullptr, &documents)))
    folder = std::wstring(documents) + L"\\" + WideFromUtf8(name);
  CoTaskMemFree(documents);
  return folder;
}

}  // namespace

std::string FolderChooseWorking(const char* name) {
  std::wstring folder = CurrentFolder();
  if (folder.empty() || SameFolder(folder, ProgramFolder()) || !Writable(folder)) {
    const std::wstring user = UserFolder(name);
    // An existing folder refuses to be made again: entering it tells.
    if (!user.empty()) CreateDirectoryW(user.c_str(), nullptr);
    if (!user.empty() && SetCurrentDirectoryW(user.c_str())) folder = user;
  }
  return Utf8FromWide(folder.data(), folder.size());
}

std::string FolderUserState(const char* name, int& error) {
  error = 0;
  // The variable first: it is what the user's session says, and what a test
  // points elsewhere.
  std::wstring base;
  const DWORD size = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
  if (size > 1) {
    base.resize(size);
    base.resize(GetEnvironmentVariableW(L"LOCALAPPDATA", base.data(), size));
  }
  if (base.empty()) {
    PWSTR local = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &local))) base = local;
    CoTaskMemFree(local);
  }
  if (base.empty()) {
    error = ENOENT;
    return std::string();
  }
  const std::wstring folder = base + L"\\" + WideFromUtf8(name);
  if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    error = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
    return std::string();
  }
  return Utf8FromWide(folder.data(), folder.size());
}
