#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vantrel {

// Text is UTF-8 inside the program. GBK appears only in files; it is decoded and
// encoded as GB18030, its superset, so GBK bytes read unchanged and no character is lost.

// Decodes GBK/GB18030 bytes to UTF-8. Throws std::runtime_error on bytes that are not GB18030.
std::string gbkToUtf8(std::string_view bytes);

// Encodes UTF-8 text as GB18030 (byte-identical to GBK where GBK has the character).
// Throws std::runtime_error on text that is not valid UTF-8.
std::string utf8ToGbk(std::string_view text);

// True when the bytes are well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);

// Paths are made from UTF-8 through char8_t, never from a narrow std::string, which
// Windows would read in the ANSI code page.
std::filesystem::path pathFromUtf8(std::string_view utf8);
std::string pathToUtf8(const std::filesystem::path& path);

// A name as the file system compares it: on Windows upper-cased with the system's
// locale-independent case mapping (so "données" and "DONNÉES" agree, not only ASCII);
// elsewhere unchanged, as names compare byte for byte. Text that is not UTF-8 stays as it is.
std::string pathCaseKey(std::string_view utf8);

}  // namespace vantrel
