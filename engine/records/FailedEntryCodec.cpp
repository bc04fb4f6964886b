#include "engine/records/FailedEntryCodec.h"

#include <utility>

#include "engine/TextRules.h"

namespace vantrel {

namespace {

std::string escape(std::string_view text) {
    return escapedWith(text, {{'\\', "\\\\"}, {'\t', "\\t"}, {'\n', "\\n"}, {'\r', "\\r"}});
}

}  // namespace

std::string encodeFailed(const std::vector<FailedEntry>& failed) {
    std::string text;
    for (const auto& entry : failed) {
        text += escape(entry.path) + "\t" + escape(entry.reason) + "\n";
    }
    return text;
}

std::vector<FailedEntry> decodeFailed(std::string_view text) {
    std::vector<FailedEntry> failed;
    FailedEntry entry;
    std::string* field = &entry.path;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            const char n = text[++i];
            *field += n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else if (c == '\t') {
            field = &entry.reason;
        } else if (c == '\n') {
            failed.push_back(std::move(entry));
            entry = {};
            field = &entry.path;
        } else {
            *field += c;
        }
    }
    return failed;
}

}  // namespace vantrel
