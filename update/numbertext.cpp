#include "update/numbertext.h"

#include <QLocale>

#include <array>
#include <charconv>
#include <cmath>

namespace {

// Rounded to the given significant digits, trailing zeros dropped, exponent form only where
// plain notation would need more digits than that: the classic "%g" rule.
QString plainText(double value, int digits)
{
    if (value == 0.0) {
        value = 0.0; // no "-0"
    }
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::general, digits);
    return QString::fromLatin1(buffer.data(), int(result.ptr - buffer.data()));
}

QString withLocaleSeparator(QString text)
{
    const QString separator = QLocale().decimalPoint();
    if (separator != QLatin1String(".")) {
        text.replace(QLatin1Char('.'), separator);
    }
    return text;
}

QString withSign(QString text)
{
    if (!text.startsWith(QLatin1Char('-'))) {
        text.prepend(QLatin1Char(' '));
    }
    return text;
}

} // namespace

QString localeNumberText(float value)
{
    return withLocaleSeparator(plainText(value, 7));
}

QString localeNumberText(double value)
{
    return withLocaleSeparator(plainText(value, 15));
}

QString signedNumberText(float value)
{
    return withSign(plainText(value, 7));
}

QString signedNumberText(double value)
{
    return withSign(plainText(value, 15));
}
