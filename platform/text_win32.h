#pragma once
// UTF-8 and the system's UTF-16, for the Windows files of this folder: the
// layers above speak UTF-8 only.

#include <string>

std::wstring WideFromUtf8(const std::string& utf8);
std::string Utf8FromWide(const wchar_t* wide, size_t length);
