#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vantrel::test {

// A fresh folder under the system temp folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(std::string_view utf8) const;

private:
    std::filesystem::path m_path;
};

// Whole-file byte access for checking files exactly.
std::string readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, std::string_view bytes);

}  // namespace vantrel::test
