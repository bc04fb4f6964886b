#include "engine/Texts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/ErrorText.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

using namespace std::chrono;

// Year, month and day joined by `separator`: "2014-05-15", or "20140515" with none.
std::string ymdText(int y, unsigned m, unsigned d, std::string_view separator) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%.*s%02u%.*s%02u", y, static_cast<int>(separator.size()),
                  separator.data(), m, static_cast<int>(separator.size()), separator.data(), d);
    return buf;
}

std::string ymdText(year_month_day date, std::string_view separator) {
    return ymdText(static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                   static_cast<unsigned>(date.day()), separator);
}

year_month_day dayOf(LocalTime when) {
    return year_month_day{floor<days>(when)};
}

}  // namespace

std::string dateDigits(LocalTime when) {
    return ymdText(dayOf(when), "");
}

std::string dateText(year_month_day date) {
    return ymdText(date, "-");
}

std::string dateText(LocalTime when) {
    return dateText(dayOf(when));
}

std::string dateTextOfDigits(std::string_view yyyymmdd) {
    return std::string(yyyymmdd.substr(0, 4)) + "-" + std::string(yyyymmdd.substr(4, 2)) + "-" +
           std::string(yyyymmdd.substr(6, 2));
}

std::optional<year_month_day> dateOfText(std::string_view text) {
    int y = 0;
    unsigned mo = 0, d = 0;
    char tail = 0;
    const std::string copy(text);
    if (std::sscanf(copy.c_str(), "%4d-%2u-%2u%c", &y, &mo, &d, &tail) != 3) {
        return std::nullopt;
    }
    const year_month_day date{year{y} / month{mo} / day{d}};
    return date.ok() ? std::optional(date) : std::nullopt;
}

std::string formatLocalTime(LocalTime when) {
    const auto day = floor<days>(when);
    const hh_mm_ss<milliseconds> time{floor<milliseconds>(when - day)};
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, " %02d:%02d:%02d", static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return dateText(year_month_day{day}) + buffer;
}

std::optional<LocalTime> parseLocalTime(std::string_view text) {
    int y = 0;
    unsigned mo = 0, d = 0;
    int h = 0, mi = 0, s = 0;
    char tail = 0;
    const std::string copy(text);
    if (std::sscanf(copy.c_str(), "%d-%u-%u %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6) {
        return std::nullopt;
    }
    const year_month_day date{year{y} / month{mo} / day{d}};
    if (!date.ok() || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59) {
        return std::nullopt;
    }
    return local_days{date} + hours{h} + minutes{mi} + seconds{s};
}

std::string sizeText(std::uint64_t bytes, SizeUnit smallest) {
    static const char* const units[] = {"B", "KB", "MB", "GB", "TB"};
    int unit = static_cast<int>(smallest);
    if (unit == 0 && bytes < 1024) {
        return std::to_string(bytes) + " B";
    }
    double value = static_cast<double>(bytes) / std::pow(1024.0, unit);
    // Rounded as printed, so 1023.96 MB reads "1.0 GB", not "1024.0 MB".
    while (std::round(value * 10) / 10 >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f %s", value, units[unit]);
    return buffer;
}

std::string durationText(milliseconds duration) {
    const auto total = duration_cast<seconds>(duration).count();
    const auto h = total / 3600;
    const auto m = total / 60 % 60;
    const auto s = total % 60;
    if (h > 0) {
        return std::to_string(h) + " 小时 " + std::to_string(m) + " 分";
    }
    if (m > 0) {
        return std::to_string(m) + " 分 " + std::to_string(s) + " 秒";
    }
    return std::to_string(s) + " 秒";
}

std::string notCopiedText(std::size_t count, std::size_t carried) {
    std::string text = std::to_string(count) + " 项未能复制";
    if (carried > 0) {
        text += "（其中 " + std::to_string(carried) + " 项保留了今天较早备份中的版本）";
    }
    return text;
}

std::string untrustedRecordText(std::string_view recordPath) {
    return "备份记录中的路径“" + escapedName(recordPath) + "”不是本任务的备份";
}

std::string escapedName(std::string_view name) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto escape = [](std::string& text, unsigned char byte) {
        text += "\\x";
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    };
    std::string text;
    text.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7f) {
                escape(text, byte);
            } else {
                text += name[i];
            }
            ++i;
            continue;
        }
        // A character of several bytes prints as it is; bytes that are not UTF-8 (a GBK name
        // on Linux) and the C1 controls are escaped, so what prints is always UTF-8.
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
        const std::string_view sequence = name.substr(i, length);
        const bool c1 =
            byte == 0xC2 && sequence.size() == 2 && static_cast<unsigned char>(sequence[1]) < 0xA0;
        if (sequence.size() == length && isValidUtf8(sequence) && !c1) {
            text += sequence;
            i += length;
        } else {
            escape(text, byte);
            ++i;
        }
    }
    return text;
}

int progressPermille(const CopyProgress& done, const TreeSize& total) {
    double share = -1;
    if (total.bytes > 0) {
        share = static_cast<double>(done.bytes) / static_cast<double>(total.bytes);
    } else if (total.files > 0) {
        share = static_cast<double>(done.files) / static_cast<double>(total.files);
    }
    if (share < 0) {
        return -1;
    }
    return static_cast<int>(std::min(share, 1.0) * 1000);
}

std::string progressStatus(const CopyProgress& done, const TreeSize& total, ProgressVerb verb) {
    std::string text(verb == ProgressVerb::Restore ? kRestoringStatus : kCopyingStatus);
    if (total.files == 0 && total.bytes == 0) {
        return text + " " + std::to_string(done.files) + " 个文件，" + sizeText(done.bytes);
    }
    return text + " " + std::to_string(done.files) + "/" + std::to_string(total.files) +
           " 个文件，" + sizeText(done.bytes) + "/" + sizeText(total.bytes);
}

std::string timeLeftText(const CopyProgress& done, const TreeSize& total,
                         std::chrono::milliseconds elapsed) {
    const int permille = progressPermille(done, total);
    // Too early a guess only jumps about.
    if (permille <= 0 || elapsed < std::chrono::seconds(2)) {
        return {};
    }
    const auto left = std::chrono::milliseconds(static_cast<long long>(
        static_cast<double>(elapsed.count()) * (1000 - permille) / permille));
    return "剩余约 " + durationText(left);
}

}  // namespace vantrel
