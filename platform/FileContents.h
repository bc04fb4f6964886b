#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <system_error>

namespace vantrel {

// Takes a file's contents in order: `data` for bytes read, `zeros` for a hole (a range the
// file system keeps no data for, which reads as zeros) given by its length, never read.
struct ContentSink {
    std::function<void(const char* bytes, std::size_t size)> data;
    std::function<void(std::uint64_t size)> zeros;
};

// Reads the regular file at `file` front to back into `sink`; where the OS cannot tell
// holes apart, every byte comes through `data`. Returns the OS's error, none on success.
std::error_code readContents(const std::filesystem::path& file, const ContentSink& sink);

}  // namespace vantrel
