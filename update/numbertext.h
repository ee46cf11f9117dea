#pragma once

#include <QString>

// The window writes numbers in two ways. Locale number text is what a user reads as a plain
// value (the version labels); signed number text is the fixed, point-separated form with one
// leading sign character that the size, percentage, speed and the update question use.
// Single-precision values are written with 7 significant digits, doubles with 15.
QString localeNumberText(float value);
QString localeNumberText(double value);
QString signedNumberText(float value);
QString signedNumberText(double value);
