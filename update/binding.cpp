#include "update/binding.h"

#include <charconv>
#include <cstdio>
#include <limits>

namespace {

constexpr std::string_view Prefix = "kolup-setup size=";
constexpr std::string_view DigestField = " blake2b=";
constexpr std::string_view ExpiryField = " expires=";
constexpr char Hex[] = "0123456789abcdef";

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1; // upper case too: one digest, one spelling
}

} // namespace

std::optional<std::chrono::sys_days> parseDay(std::string_view text)
{
    using namespace std::chrono;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return std::nullopt;
    }
    const auto y = decimal<int>(text.substr(0, 4));
    const auto m = text[5] == '0' ? decimal<unsigned>(text.substr(6, 1))
                                  : decimal<unsigned>(text.substr(5, 2));
    const auto d = text[8] == '0' ? decimal<unsigned>(text.substr(9, 1))
                                  : decimal<unsigned>(text.substr(8, 2));
    if (!y || !m || !d) {
        return std::nullopt;
    }
    const year_month_day day{year{*y}, month{*m}, std::chrono::day{*d}};
    if (!day.ok()) {
        return std::nullopt;
    }
    return sys_days{day};
}

std::string dayText(std::chrono::sys_days day)
{
    const std::chrono::year_month_day date{day};
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u", int(date.year()), unsigned(date.month()),
                  unsigned(date.day()));
    return buffer;
}

std::optional<Digest> digestFromText(std::string_view text)
{
    Digest digest{};
    if (text.size() != digest.size() * 2) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        digest[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return digest;
}

std::string digestText(const Digest &digest)
{
    std::string text;
    for (const unsigned char byte : digest) {
        text += Hex[byte >> 4];
        text += Hex[byte & 0xF];
    }
    return text;
}

std::string bindingComment(const SetupBinding &binding)
{
    std::string text = std::string(Prefix) + std::to_string(binding.size) +
                       std::string(DigestField) + digestText(binding.digest);
    if (binding.expires) {
        text += std::string(ExpiryField) + dayText(*binding.expires);
    }
    return text;
}

Result<SetupBinding> parseBinding(std::string_view comment)
{
    const auto refused = [](std::string_view what) {
        return Failure{Fault::Refused, "the record's signed comment " + std::string(what)};
    };
    constexpr std::string_view noName = "does not name its setup file";
    constexpr std::string_view noDigest = "gives no valid BLAKE2b-512 digest";
    if (!comment.starts_with(Prefix)) {
        return refused(noName);
    }
    comment.remove_prefix(Prefix.size());
    const auto digestAt = comment.find(DigestField);
    if (digestAt == std::string_view::npos) {
        return refused(noName);
    }
    SetupBinding binding;
    const auto size = decimal<std::int64_t>(comment.substr(0, digestAt));
    if (!size || *size <= 0 || *size > std::numeric_limits<std::int32_t>::max()) {
        return refused("gives no valid setup size");
    }
    binding.size = *size;
    comment.remove_prefix(digestAt + DigestField.size());
    const std::size_t hexDigits = binding.digest.size() * 2;
    const auto digest = digestFromText(comment.substr(0, hexDigits));
    if (!digest) {
        return refused(noDigest);
    }
    binding.digest = *digest;
    comment.remove_prefix(hexDigits);
    if (!comment.empty()) {
        if (!comment.starts_with(ExpiryField)) {
            return refused(noDigest); // a longer digest, or words after it
        }
        binding.expires = parseDay(comment.substr(ExpiryField.size()));
        if (!binding.expires) {
            return refused("gives no valid expiry date");
        }
    }
    return binding;
}

bool expired(const SetupBinding &binding, std::chrono::sys_days today)
{
    return binding.expires && today > *binding.expires;
}

std::chrono::sys_days todayUtc()
{
    return std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
}
