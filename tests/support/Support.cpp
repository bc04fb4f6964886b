#include <atomic>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/TempDir.h"

namespace vantrel::test {

LocalTime at(int year, unsigned month, unsigned day, int hour, int minute, int second,
             int millisecond) {
    using namespace std::chrono;
    const local_days date{std::chrono::year{year} / month / day};
    return date + hours{hour} + minutes{minute} + seconds{second} + milliseconds{millisecond};
}

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto candidate =
            base / ("vantrel-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
        if (std::filesystem::create_directory(candidate)) {
            m_path = std::filesystem::canonical(candidate);
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may leave read-only folders behind; make them writable so removal succeeds.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        }
    }
    std::filesystem::remove_all(m_path, ec);
}

std::filesystem::path TempDir::operator/(std::string_view utf8) const {
    return m_path / pathFromUtf8(utf8);
}

std::string readBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + pathToUtf8(file));
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeBytes(const std::filesystem::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + pathToUtf8(file));
    }
}

}  // namespace vantrel::test
