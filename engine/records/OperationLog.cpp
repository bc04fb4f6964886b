#include "engine/records/OperationLog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>
#include <utility>

#include "engine/BackupError.h"
#include "platform/ErrorText.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string reasonOf(int err) {
    return describeError(std::error_code(err, std::generic_category()));
}

[[noreturn]] void fail(const std::filesystem::path& file, int err) {
    throw BackupError("无法打开文件“" + pathToUtf8(file) + "”：" + reasonOf(err));
}

[[noreturn]] void fail(const std::filesystem::path& file, const std::error_code& ec) {
    throw BackupError("无法打开文件“" + pathToUtf8(file) + "”：" + describeError(ec));
}

// fopen with a path that keeps non-ASCII names on every platform; errno says why on failure.
FilePtr openFile(const std::filesystem::path& file, const char* mode) {
#ifdef _WIN32
    std::wstring wmode(mode, mode + std::char_traits<char>::length(mode));
    return FilePtr(_wfopen(file.c_str(), wmode.c_str()));
#else
    return FilePtr(std::fopen(file.c_str(), mode));
#endif
}

void makeFolder(const std::filesystem::path& file) {
    std::error_code ec;
    const auto folder = file.parent_path();
    if (!folder.empty()) {
        std::filesystem::create_directories(folder, ec);
        if (ec) {
            fail(file, ec);
        }
    }
}

// What must precede a new line so that the file's last line ends in CR LF. Reads at most the
// last two bytes, so the cost does not depend on the length of the log.
std::string missingLineEnd(std::FILE* f, const std::filesystem::path& file) {
    if (std::fseek(f, 0, SEEK_END) != 0) {
        fail(file, errno);
    }
    const long size = std::ftell(f);
    if (size < 0) {
        fail(file, errno);
    }
    if (size == 0) {
        return {};
    }
    const long tail = size >= 2 ? 2 : 1;
    char last[2] = {};
    if (std::fseek(f, -tail, SEEK_END) != 0 ||
        std::fread(last, 1, static_cast<size_t>(tail), f) != static_cast<size_t>(tail)) {
        fail(file, errno ? errno : EIO);
    }
    const char end = last[tail - 1];
    if (end == '\n') {
        return {};  // CR LF, or a bare LF that readers also take as a line end
    }
    if (end == '\r') {
        return "\n";
    }
    return "\r\n";
}

void writeAll(std::FILE* f, const std::filesystem::path& file, const std::string& bytes) {
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        fail(file, errno ? errno : EIO);
    }
    if (std::fflush(f) != 0) {
        fail(file, errno ? errno : EIO);
    }
}

// GB18030 to UTF-8; a line that does not decode is decoded character by character, with
// U+FFFD for each byte that starts no character.
std::string decodeLine(std::string_view bytes) {
    try {
        return gbkToUtf8(bytes);
    } catch (const std::exception&) {
    }
    std::string out;
    size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        bool done = false;
        for (size_t len : {size_t{2}, size_t{4}}) {
            if (i + len > bytes.size()) {
                continue;
            }
            try {
                out += gbkToUtf8(bytes.substr(i, len));
                i += len;
                done = true;
                break;
            } catch (const std::exception&) {
            }
        }
        if (!done) {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

// Decodes line by line, so one bad line costs only itself.
std::string decodeLenient(std::string_view bytes) {
    std::string text;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        end = end == std::string_view::npos ? bytes.size() : end + 1;
        text += decodeLine(bytes.substr(start, end - start));
        start = end;
    }
    return text;
}

// The file's bytes from `offset` to its end.
std::string readFrom(const std::filesystem::path& file, std::uint64_t offset) {
    FilePtr f = openFile(file, "rb");
    if (!f || (offset > 0 && std::fseek(f.get(), static_cast<long>(offset), SEEK_SET) != 0)) {
        fail(file, errno);
    }
    std::string bytes;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
        bytes.append(buf, n);
    }
    if (std::ferror(f.get())) {
        fail(file, errno ? errno : EIO);
    }
    return bytes;
}

// Lines end in CR LF or a bare LF; a final line end does not start another line.
std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > start && text[end - 1] == '\r') {
            --end;
        }
        lines.emplace_back(text, start, end - start);
        start = next;
    }
    return lines;
}

std::string twoDigits(unsigned v) {
    return std::string{static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)};
}

}  // namespace

OperationLog::OperationLog(std::filesystem::path file) : m_file(std::move(file)) {}

std::string OperationLog::composeLine(LocalTime when, std::string_view sourcePath,
                                      std::string_view targetPath, size_t notCopied) {
    using namespace std::chrono;
    const auto day = floor<days>(when);
    const year_month_day ymd{day};
    const hh_mm_ss<milliseconds> tod{when - day};

    const int year = static_cast<int>(ymd.year());
    const unsigned yy = static_cast<unsigned>(((year % 100) + 100) % 100);
    std::string line = twoDigits(yy) + twoDigits(static_cast<unsigned>(ymd.month())) +
                       twoDigits(static_cast<unsigned>(ymd.day()));
    line += ' ';
    line += std::to_string(tod.hours().count());
    line += ':' + twoDigits(static_cast<unsigned>(tod.minutes().count()));
    line += ':' + twoDigits(static_cast<unsigned>(tod.seconds().count()));
    line += "   ";
    line += sourcePath;
    line += notCopied == 0 ? "   成功备份至   " : "   部分备份至   ";
    line += targetPath;
    if (notCopied != 0) {
        line += "   未复制项数：" + std::to_string(notCopied);
    }
    return line;
}

void OperationLog::Append(std::string_view line) {
    std::string bytes;
    try {
        bytes = utf8ToGbk(line);
    } catch (const std::exception& e) {
        throw BackupError("无法写入操作日志“" + pathToUtf8(m_file) + "”：" + e.what());
    }
    makeFolder(m_file);
    // "a+" writes only at the end whatever the position, and allows reading the last bytes.
    FilePtr f = openFile(m_file, "a+b");
    if (!f) {
        fail(m_file, errno);
    }
    // Unbuffered, so the line reaches the file in one write and a crash tears at most it.
    std::setvbuf(f.get(), nullptr, _IONBF, 0);
    const std::string lineEnd = missingLineEnd(f.get(), m_file);
    // C requires a seek between reading and writing one stream; the Windows C library
    // otherwise refuses the write.
    if (std::fseek(f.get(), 0, SEEK_END) != 0) {
        fail(m_file, errno);
    }
    writeAll(f.get(), m_file, lineEnd + bytes + "\r\n");
    if (std::fclose(f.release()) != 0) {
        fail(m_file, errno ? errno : EIO);
    }
}

void OperationLog::checkWritable() {
    makeFolder(m_file);
    FilePtr f = openFile(m_file, "ab");
    if (!f) {
        throw BackupError("操作日志“" + pathToUtf8(m_file) + "”无法写入：" + reasonOf(errno));
    }
}

std::uint64_t OperationLog::size() const {
    std::error_code ec;
    const auto n = std::filesystem::file_size(m_file, ec);
    return ec ? 0 : n;
}

bool OperationLog::hasLineAfter(std::uint64_t offset, std::string_view line) const {
    if (size() <= offset) {
        return false;  // nothing written since, or the file was emptied
    }
    const auto lines = splitLines(decodeLenient(readFrom(m_file, offset)));
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void OperationLog::EnsureExists() {
    makeFolder(m_file);
    FilePtr f = openFile(m_file, "ab");
    if (!f) {
        fail(m_file, errno);
    }
}

std::vector<std::string> OperationLog::LoadLines() const {
    return splitLines(decodeLenient(readFrom(m_file, 0)));
}

void OperationLog::Clear() {
    makeFolder(m_file);
    FilePtr f = openFile(m_file, "wb");
    if (!f) {
        fail(m_file, errno);
    }
    if (std::fclose(f.release()) != 0) {
        fail(m_file, errno ? errno : EIO);
    }
}

}  // namespace vantrel
