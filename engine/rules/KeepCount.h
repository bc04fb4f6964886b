#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// Rules of the keep-count field: a number with at most two decimals, minimum 1 when typed.

// Whether the field may hold `candidate` (its text after a key press): digits, one "." or ","
// as the decimal separator with at most two digits after it, a leading "+" or "-", and an
// "E"/"e" exponent while the text still reads as a number. Any other text is refused.
bool keepCountAccepts(std::string_view candidate);

// The value of the field's text: none when empty, 0 for a lone sign. Throws BackupError
// naming the text when it is not a number or too large for one (such as "1e999").
std::optional<double> parseKeepCount(std::string_view text);

// The shortest form of a value: "3", not "3.00"; "2.5". At most two decimals.
std::string formatKeepCount(double value);

// The text after the user leaves the field: empty stays empty, a typed value below 1 becomes
// 1, and the number is shown in its shortest form. Throws BackupError for text not a number.
std::string commitKeepCount(std::string_view text);

}  // namespace vantrel
