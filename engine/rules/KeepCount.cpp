#include "engine/rules/KeepCount.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "engine/BackupError.h"
#include "engine/TextRules.h"

namespace vantrel {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The parts of a number as typed: [sign] digits [sep digits] [e [sign] digits].
struct NumberShape {
    size_t intDigits = 0;
    bool separator = false;
    size_t fracDigits = 0;
    bool exponent = false;
    size_t expDigits = 0;
};

// Splits `s` into the shape above; false when a byte does not fit it.
bool shapeOf(std::string_view s, NumberShape& shape) {
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        ++i;
    }
    while (i < s.size() && isDigit(s[i])) {
        ++shape.intDigits;
        ++i;
    }
    if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
        shape.separator = true;
        ++i;
        while (i < s.size() && isDigit(s[i])) {
            ++shape.fracDigits;
            ++i;
        }
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        shape.exponent = true;
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            ++i;
        }
        while (i < s.size() && isDigit(s[i])) {
            ++shape.expDigits;
            ++i;
        }
    }
    return i == s.size();
}

[[noreturn]] void notANumber(std::string_view text) {
    throw BackupError("“" + std::string(text) + "”不是有效的数值");
}

}  // namespace

bool keepCountAccepts(std::string_view candidate) {
    NumberShape shape;
    if (!shapeOf(candidate, shape)) {
        return false;
    }
    if (shape.fracDigits > 2) {
        return false;
    }
    // An exponent only follows a mantissa that already has a digit.
    return !shape.exponent || shape.intDigits + shape.fracDigits > 0;
}

std::optional<double> parseKeepCount(std::string_view text) {
    const std::string_view t = trimControls(text);
    if (t.empty()) {
        return std::nullopt;
    }
    if (t == "+" || t == "-") {
        return 0.0;
    }
    NumberShape shape;
    if (!shapeOf(t, shape) || shape.intDigits + shape.fracDigits == 0 ||
        (shape.exponent && shape.expDigits == 0)) {
        notANumber(text);
    }
    std::string normal(t.front() == '+' ? t.substr(1) : t);
    for (char& c : normal) {
        if (c == ',') {
            c = '.';
        }
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), value);
    // Out of range or infinite: no count of copies is meant by that.
    if (ec != std::errc() || end != normal.data() + normal.size() || !std::isfinite(value)) {
        notANumber(text);
    }
    return value;
}

std::string formatKeepCount(double value) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    std::string s(buffer);
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0') {
            s.pop_back();
        }
        if (s.back() == '.') {
            s.pop_back();
        }
    }
    if (s == "-0") {
        s = "0";
    }
    return s;
}

std::string commitKeepCount(std::string_view text) {
    const std::optional<double> value = parseKeepCount(text);
    if (!value) {
        return {};
    }
    return formatKeepCount(*value < 1 ? 1.0 : *value);
}

}  // namespace vantrel
