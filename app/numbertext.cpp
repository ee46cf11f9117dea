#include "app/numbertext.h"

#include <array>
#include <charconv>

namespace {

// Rounded to the given significant digits, trailing zeros dropped, exponent form only where
// plain notation would need more digits than that: the classic "%g" rule.
std::string plainText(double value, int digits)
{
    if (value == 0.0) {
        value = 0.0; // no "-0"
    }
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::general, digits);
    return std::string(buffer.data(), result.ptr);
}

std::string withSign(std::string text)
{
    if (!text.starts_with('-')) {
        text.insert(text.begin(), ' ');
    }
    return text;
}

} // namespace

std::string localeNumberText(float value, std::string_view decimalSeparator)
{
    std::string text = plainText(value, 7);
    if (const auto point = text.find('.'); point != std::string::npos) {
        text.replace(point, 1, decimalSeparator);
    }
    return text;
}

std::string signedNumberText(float value)
{
    return withSign(plainText(value, 7));
}

std::string signedNumberText(double value)
{
    return withSign(plainText(value, 15));
}
