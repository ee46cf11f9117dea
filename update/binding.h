#pragma once

#include "update/signature.h"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What the maker's one signature over a record says about the setup file the record offers. It
// travels in minisign's trusted comment, which the signature's global part covers, so a record
// cannot be served with another setup file, and an old record stops being taken after its
// expiry. The comment is one line of ASCII, exactly:
//
//   kolup-setup size=<bytes> blake2b=<128 lower-case hex digits>[ expires=<YYYY-MM-DD>]
//
// size is a decimal without leading zeros; blake2b is the setup file's BLAKE2b-512 digest (the
// one minisign prehashes with); expires is the last day, in UTC, on which the record is taken.
struct SetupBinding {
    std::int64_t size = 0;
    Digest digest{};
    std::optional<std::chrono::sys_days> expires;

    bool operator==(const SetupBinding &) const = default;
};

std::string bindingComment(const SetupBinding &binding);

// Refused, saying why, when comment is not exactly a binding in the form above.
Result<SetupBinding> parseBinding(std::string_view comment);

// Whether the record is past its last day on today (UTC).
bool expired(const SetupBinding &binding, std::chrono::sys_days today);

// A day written as YYYY-MM-DD; nothing for anything else or a day no calendar has.
std::optional<std::chrono::sys_days> parseDay(std::string_view text);
std::string dayText(std::chrono::sys_days day);

// A digest as the comment writes it: lower-case hex; and back, from exactly that text.
std::string digestText(const Digest &digest);
std::optional<Digest> digestFromText(std::string_view text);

// Strictly the digits of a decimal: no sign, no leading zero, nothing around it.
template <typename T> std::optional<T> decimal(std::string_view text)
{
    if (text.empty() || (text.size() > 1 && text.front() == '0') || text.front() == '+' ||
        text.front() == '-') {
        return std::nullopt;
    }
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// Today's date in UTC, by the system clock.
std::chrono::sys_days todayUtc();
