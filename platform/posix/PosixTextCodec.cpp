#include <iconv.h>

#include <cerrno>
#include <stdexcept>

#include "platform/TextCodec.h"

namespace vantrel {

namespace {

// Converts the whole input with iconv; any invalid or incomplete sequence throws.
std::string convert(const char* to, const char* from, std::string_view bytes, const char* what) {
    if (bytes.empty()) {
        return {};
    }
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        throw std::runtime_error(std::string("文本编码转换不可用：") + from + " -> " + to);
    }
    std::string out(bytes.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    size_t done = 0;
    bool flushing = false;  // input consumed; a last call with no input ends any shift state
    for (;;) {
        char* outPtr = out.data() + done;
        size_t outLeft = out.size() - done;
        const size_t rc = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                   : iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        const int err = errno;
        done = static_cast<size_t>(outPtr - out.data());
        if (rc != static_cast<size_t>(-1)) {
            if (flushing) {
                break;
            }
            flushing = inLeft == 0;
            continue;
        }
        if (err == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        iconv_close(cd);
        throw std::runtime_error(what);
    }
    iconv_close(cd);
    out.resize(done);
    return out;
}

}  // namespace

std::string gbkToUtf8(std::string_view bytes) {
    static const char* const what = "文本不是有效的 GBK/GB18030 编码";
    return convert("UTF-8", "GB18030", bytes, what);
}

std::string utf8ToGbk(std::string_view text) {
    static const char* const what = "文本不是有效的 UTF-8 编码";
    if (!isValidUtf8(text)) {
        throw std::runtime_error(what);
    }
    return convert("GB18030", "UTF-8", text, "文本无法以 GB18030 编码");
}

std::string pathCaseKey(std::string_view utf8) {
    return std::string(utf8);
}

}  // namespace vantrel
