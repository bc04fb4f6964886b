#include "platform/IniFile.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "platform/IniFileOs.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

bool isAscii(std::string_view s) {
    for (unsigned char c : s) {
        if (c >= 0x80) {
            return false;
        }
    }
    return true;
}

// One decoded line: a section header, a key line, or anything else (blank, comment, junk).
struct ParsedLine {
    enum Kind { Other, Section, Key } kind = Other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key's value, trimmed, enclosing quotes removed
    bool blank = false;
};

ParsedLine parseLine(std::string_view line) {
    ParsedLine p;
    const std::string_view t = trimBlanks(line);
    if (t.empty()) {
        p.blank = true;
        return p;
    }
    if (t.front() == '[') {
        const size_t close = t.find(']');
        p.kind = ParsedLine::Section;
        p.name = trimBlanks(t.substr(1, close == std::string_view::npos ? close : close - 1));
        return p;
    }
    if (t.front() == ';') {
        return p;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        return p;
    }
    p.kind = ParsedLine::Key;
    p.name = trimBlanks(line.substr(0, eq));
    p.value = trimBlanks(line.substr(eq + 1));
    if (p.value.size() >= 2 && p.value.front() == '"' && p.value.back() == '"') {
        p.value = p.value.substr(1, p.value.size() - 2);
    }
    return p;
}

// Length of the longest prefix of `bytes` that is at most `limit` bytes and ends on a
// character boundary of the encoding (UTF-8, or GB18030's one-, two- and four-byte forms).
size_t boundaryPrefix(std::string_view bytes, size_t limit, bool utf8) {
    if (bytes.size() <= limit) {
        return bytes.size();
    }
    size_t pos = 0;
    while (pos < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[pos]);
        size_t len = 1;
        if (utf8) {
            len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        } else if (c >= 0x81 && c <= 0xFE && pos + 1 < bytes.size()) {
            const auto d = static_cast<unsigned char>(bytes[pos + 1]);
            len = (d >= 0x30 && d <= 0x39) ? 4 : 2;
        }
        if (pos + len > limit) {
            break;
        }
        pos += len;
    }
    return pos;
}

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& reason) {
    throw std::runtime_error(pathToUtf8(file) + ": " + reason);
}

}  // namespace

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

IniFile::IniFile(std::filesystem::path file) : m_file(std::move(file)) {
    std::error_code ec;
    const auto status = std::filesystem::status(m_file, ec);
    if (!std::filesystem::exists(status)) {
        return;
    }
    if (std::filesystem::is_directory(status)) {
        fail(m_file, std::make_error_code(std::errc::is_a_directory).message());
    }
    std::ifstream in(m_file, std::ios::binary);
    if (!in) {
        fail(m_file, "cannot open the file");
    }
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        fail(m_file, "cannot read the file");
    }

    if (bytes.starts_with(kBom)) {
        m_bom = true;
        m_utf8 = true;
        bytes.erase(0, kBom.size());
    } else {
        m_utf8 = !isAscii(bytes) && isValidUtf8(bytes);
    }

    bool newlineSeen = false;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t lf = bytes.find('\n', start);
        if (lf == std::string::npos) {
            m_lines.push_back(bytes.substr(start));
            m_endings.emplace_back();
            break;
        }
        size_t end = lf;
        if (end > start && bytes[end - 1] == '\r') {
            --end;
        }
        m_lines.push_back(bytes.substr(start, end - start));
        m_endings.push_back(bytes.substr(end, lf + 1 - end));
        if (!newlineSeen) {
            m_newline = m_endings.back();
            newlineSeen = true;
        }
        start = lf + 1;
    }
}

std::string IniFile::decode(const std::string& raw) const {
    if (m_utf8 || isAscii(raw)) {
        return raw;
    }
    try {
        return gbkToUtf8(raw);
    } catch (const std::exception&) {
        return {};  // bytes that are not GB18030: the line matches nothing and stays as it is
    }
}

std::string IniFile::encode(std::string_view utf8) const {
    if (m_utf8 || isAscii(utf8)) {
        return std::string(utf8);
    }
    return utf8ToGbk(utf8);
}

IniFile::Location IniFile::locate(std::string_view section, std::string_view key) const {
    section = trimBlanks(section);
    key = trimBlanks(key);
    Location loc;
    bool inside = false;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        const std::string line = decode(m_lines[i]);
        const ParsedLine p = parseLine(line);
        if (p.kind == ParsedLine::Section) {
            if (inside) {
                break;  // only the first section of that name counts
            }
            if (equalsIgnoreAsciiCase(p.name, section)) {
                inside = true;
                loc.section = i;
                loc.lastInSection = i;
            }
            continue;
        }
        if (!inside) {
            continue;
        }
        if (!p.blank) {
            loc.lastInSection = i;
        }
        if (p.kind == ParsedLine::Key && loc.key == npos && equalsIgnoreAsciiCase(p.name, key)) {
            loc.key = i;
        }
    }
    return loc;
}

std::string IniFile::read(std::string_view section, std::string_view key) const {
    const Location loc = locate(section, key);
    if (loc.key == npos) {
        return {};
    }
    const std::string line = decode(m_lines[loc.key]);
    const std::string_view value = parseLine(line).value;
    if (m_utf8) {
        return std::string(value.substr(0, boundaryPrefix(value, kMaxValueBytes, true)));
    }
    const std::string bytes = encode(value);
    return decode(bytes.substr(0, boundaryPrefix(bytes, kMaxValueBytes, false)));
}

bool IniFile::fitsWhole(std::string_view section, std::string_view key) const {
    const Location loc = locate(section, key);
    if (loc.key == npos) {
        return true;
    }
    const std::string line = decode(m_lines[loc.key]);
    return fitsWhole(parseLine(line).value);
}

bool IniFile::fitsWhole(std::string_view value) const {
    return (m_utf8 ? value.size() : encode(value).size()) <= kMaxValueBytes;
}

void IniFile::insertLine(size_t index, std::string_view utf8) {
    if (index > 0 && m_endings[index - 1].empty()) {
        m_endings[index - 1] = m_newline;
    }
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(index), encode(utf8));
    m_endings.insert(m_endings.begin() + static_cast<std::ptrdiff_t>(index), m_newline);
}

void IniFile::write(std::string_view section, std::string_view key, std::string_view value) {
    // A line break in a value would end the line and let the rest read as other keys.
    for (std::string_view part : {section, key, value}) {
        if (part.find_first_of("\r\n") != std::string_view::npos) {
            fail(m_file, "a value may not contain a line break");
        }
    }
    const std::string keyText(trimBlanks(key));
    const Location loc = locate(section, key);
    if (loc.key != npos) {
        const std::string line = decode(m_lines[loc.key]);
        m_lines[loc.key] = encode(line.substr(0, line.find('=') + 1) + std::string(value));
        return;
    }
    const std::string entry = keyText + "=" + std::string(value);
    if (loc.section != npos) {
        insertLine(loc.lastInSection + 1, entry);
        return;
    }
    if (!m_lines.empty() && !trimBlanks(m_lines.back()).empty()) {
        insertLine(m_lines.size(), "");
    }
    std::string header(1, '[');
    header += trimBlanks(section);
    header += ']';
    insertLine(m_lines.size(), header);
    insertLine(m_lines.size(), entry);
}

void IniFile::save() const {
    std::string content(m_bom ? kBom : std::string_view());
    for (size_t i = 0; i < m_lines.size(); ++i) {
        content += m_lines[i];
        content += m_endings[i];
    }

    // Replace what a link points to, not the link itself.
    std::filesystem::path target = m_file;
    std::error_code ec;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(target, ec))) {
        target = std::filesystem::weakly_canonical(target, ec);
        if (ec) {
            fail(m_file, ec.message());
        }
    }

    auto mode = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::others_read;
    const auto status = std::filesystem::status(target, ec);
    if (std::filesystem::exists(status)) {
        if (std::filesystem::is_directory(status)) {
            fail(target, std::make_error_code(std::errc::is_a_directory).message());
        }
        // The rename below would replace a read-only file; its owner said it may not change.
        if ((status.permissions() & std::filesystem::perms::owner_write) ==
            std::filesystem::perms::none) {
            fail(target, std::make_error_code(std::errc::permission_denied).message());
        }
        mode = status.permissions();
    }

    std::filesystem::path temp = target;
    std::string suffix(1, '.');
    suffix += detail::uniqueSuffix();
    suffix += ".tmp";
    temp += pathFromUtf8(suffix);
    detail::writeAndReplace(target, temp, content, mode);
}

}  // namespace vantrel
