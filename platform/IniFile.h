#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// `s` without the spaces and tabs around it, as names and values are read from the file.
std::string_view trimBlanks(std::string_view s);

// An INI file with the private-profile semantics of Windows: section and key names match
// case-insensitively (ASCII) after trimming blanks; a value is the text after the first "=",
// trimmed, with one pair of enclosing double quotes removed; a missing key reads as empty;
// a value reads back as at most 2047 bytes of the file's encoding.
//
// The file's bytes are GBK (decoded and encoded as GB18030), except that a file that is
// valid UTF-8 and holds non-ASCII text (or starts with a byte-order mark) stays UTF-8.
// Lines the caller does not write stay byte for byte.
class IniFile {
public:
    // Loads the file if it exists; a missing file reads as empty. Throws std::runtime_error
    // when an existing file cannot be read.
    explicit IniFile(std::filesystem::path file);

    // The longest value read() returns whole, in bytes of the file's encoding.
    static constexpr size_t kMaxValueBytes = 2047;

    std::string read(std::string_view section, std::string_view key) const;
    // Whether the key's value, or `value` if written, reads back whole (not cut by read()).
    bool fitsWhole(std::string_view section, std::string_view key) const;
    bool fitsWhole(std::string_view value) const;

    // Replaces the key's value in place, or adds the key at the end of its section, or adds
    // the section at the end of the file. Takes effect on disk at save(). Throws
    // std::runtime_error for text with a line break, which would end the line early.
    void write(std::string_view section, std::string_view key, std::string_view value);

    // Writes the whole file to a temporary file beside it, flushes it and renames it over
    // the file, so a failure leaves the old file intact. A read-only file is not replaced.
    // Throws std::runtime_error with the path and the OS's reason on failure.
    void save() const;

private:
    // Where `section` and `key` stand in the file; indexes into m_lines, npos when absent.
    struct Location {
        size_t section = npos;        // header of the first section of that name
        size_t lastInSection = npos;  // its last line that is not blank
        size_t key = npos;            // the key's line in that section
    };
    static constexpr size_t npos = static_cast<size_t>(-1);

    Location locate(std::string_view section, std::string_view key) const;
    std::string decode(const std::string& raw) const;  // file encoding to UTF-8; "" if not text
    std::string encode(std::string_view utf8) const;   // UTF-8 to the file encoding
    void insertLine(size_t index, std::string_view utf8);

    std::filesystem::path m_file;
    bool m_utf8 = false;               // file keeps UTF-8 encoding
    bool m_bom = false;                // file started with a UTF-8 byte-order mark
    std::string m_newline = "\r\n";    // line ending used for added lines
    std::vector<std::string> m_lines;  // raw lines in the file encoding, without their endings
    std::vector<std::string> m_endings;
};

}  // namespace vantrel
