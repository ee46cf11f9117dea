#pragma once

#include <string>
#include <string_view>

// The window writes numbers in two ways. Locale number text is what a user reads as a plain
// value (the version labels), with the user's decimal separator; signed number text is the
// fixed, point-separated form with one leading sign character that the size, percentage, speed
// and the update question use. Single-precision values are written with 7 significant digits,
// doubles with 15.
std::string localeNumberText(float value, std::string_view decimalSeparator);
std::string signedNumberText(float value);
std::string signedNumberText(double value);
