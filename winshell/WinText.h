#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// The window's one conversion between the program's UTF-8 and the UTF-16 of the Win32 calls.
std::wstring toWide(std::string_view utf8);
std::string toUtf8(std::wstring_view wide);

}  // namespace vantrel
