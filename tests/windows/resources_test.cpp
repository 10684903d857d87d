// What ships carries its resources, read as Windows reads them: the version
// (Explorer's details, the uninstall entry), the icon, and the manifest (the
// programs' own; the installer's is NSIS's).

#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <vector>

namespace {

class Resources : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(Resources, VersionIconAndManifest) {
  const wchar_t* path = GetParam();
  DWORD ignored = 0;
  std::vector<unsigned char> info(GetFileVersionInfoSizeW(path, &ignored));
  ASSERT_FALSE(info.empty()) << "no version";
  ASSERT_TRUE(GetFileVersionInfoW(path, 0, static_cast<DWORD>(info.size()), info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(RS485_VERSION_MINOR, RS485_VERSION_MAJOR));
  EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, RS485_VERSION_PATCH));

  EXPECT_GT(ExtractIconExW(path, -1, nullptr, nullptr, 0), 0u) << "no icon";

  const HMODULE image = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr);
  EXPECT_NE(FindResourceW(image, MAKEINTRESOURCEW(1), RT_MANIFEST), nullptr) << "no manifest";
  FreeLibrary(image);
}

INSTANTIATE_TEST_SUITE_P(Shipped, Resources,
                         ::testing::Values(RS485SETUP_SHIPPED, RS485CTL_SHIPPED, RS485_INSTALLER_SHIPPED));

}  // namespace
