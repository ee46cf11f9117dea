#include "os/filenames.h"

#include <algorithm>
#include <array>

namespace filenames {

namespace {

char32_t asciiUpper(char32_t c)
{
    return c >= U'a' && c <= U'z' ? c - U'a' + U'A' : c;
}

bool equalsIgnoringCase(std::u32string_view a, std::u32string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char32_t x, char32_t y) { return asciiUpper(x) == asciiUpper(y); });
}

bool isDeviceName(std::u32string_view text)
{
    // Windows opens a device for these names whatever follows a dot or a space; its port
    // numbers include 0 and the superscript digits.
    const std::u32string_view stem = text.substr(0, text.find_first_of(U". "));
    static constexpr std::array<std::u32string_view, 6> plain = {U"CON", U"PRN",    U"AUX",
                                                                 U"NUL", U"CONIN$", U"CONOUT$"};
    if (std::any_of(plain.begin(), plain.end(), [stem](std::u32string_view device) {
            return equalsIgnoringCase(stem, device);
        })) {
        return true;
    }
    if (stem.size() != 4 || !(equalsIgnoringCase(stem.substr(0, 3), U"COM") ||
                              equalsIgnoringCase(stem.substr(0, 3), U"LPT"))) {
        return false;
    }
    const char32_t port = stem[3];
    return (port >= U'0' && port <= U'9') || port == U'\u00B9' || port == U'\u00B2' ||
           port == U'\u00B3';
}

bool isControl(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// The bidirectional embeddings, overrides and isolates: they change how the text around them
// is shown, so a name would read as another.
bool changesDirection(char32_t c)
{
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// File types whose default action starts something other than the file itself.
bool startsSomethingElse(std::u32string_view text)
{
    static constexpr std::array<std::u32string_view, 8> types = {
        U".lnk",       U".url",        U".pif",       U".scf",
        U".appref-ms", U".library-ms", U".search-ms", U".settingcontent-ms"};
    return std::any_of(types.begin(), types.end(), [text](std::u32string_view type) {
        return text.size() >= type.size() &&
               equalsIgnoringCase(text.substr(text.size() - type.size()), type);
    });
}

std::size_t encodedLength(std::u32string_view text, System system)
{
    std::size_t length = 0;
    for (const char32_t c : text) {
        if (system == System::Windows) {
            length += c > 0xFFFF ? 2 : 1;
        } else {
            length += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        }
    }
    return length;
}

} // namespace

Status check(std::u32string_view text, System system)
{
    const auto refused = [](std::string why) {
        return Status(Failure{Fault::Refused, std::move(why)});
    };
    const bool windows = system == System::Windows;
    if (text.empty()) {
        return refused("is empty");
    }
    if (text == U"." || text == U"..") {
        return refused("is \".\" or \"..\"");
    }
    if (encodedLength(text, system) + DerivedSuffix > LongestName) {
        return refused("is too long: the names made from it would pass " +
                       std::to_string(LongestName) + (windows ? " characters" : " bytes"));
    }
    if (text.find_first_of(U"/\\:") != std::u32string_view::npos) {
        return refused("contains \"/\", \"\\\" or \":\"");
    }
    if (std::any_of(text.begin(), text.end(), isControl)) {
        return refused("contains a control character");
    }
    if (std::any_of(text.begin(), text.end(), changesDirection)) {
        return refused("contains a character that changes how text is shown");
    }
    if (isDeviceName(text)) {
        return refused("is a device name");
    }
    if (!windows) {
        return Success{};
    }
    if (text.find_first_of(U"<>\"|?*") != std::u32string_view::npos) {
        return refused("contains a character Windows does not take in a name: < > \" | ? *");
    }
    if (text.back() == U'.' || text.back() == U' ') {
        return refused("ends in a dot or a space, which Windows drops");
    }
    if (startsSomethingElse(text)) {
        return refused("is of a type that starts something other than itself");
    }
    return Success{};
}

std::optional<std::u32string> fromUtf8(std::string_view bytes)
{
    std::u32string text;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = lead < 0x80                    ? 1
                                   : lead >= 0xC2 && lead <= 0xDF ? 2
                                   : lead >= 0xE0 && lead <= 0xEF ? 3
                                   : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                                  : 0;
        if (length == 0 || i + length > bytes.size()) {
            return std::nullopt;
        }
        char32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            code = code << 6 | (next & 0x3F);
        }
        const bool shortest = length < 3 || (length == 3 ? code >= 0x800 : code >= 0x10000);
        if (!shortest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return std::nullopt;
        }
        text += code;
        i += length;
    }
    return text;
}

std::string toUtf8(std::u32string_view text)
{
    std::string bytes;
    for (const char32_t c : text) {
        if (c < 0x80) {
            bytes += char(c);
        } else if (c < 0x800) {
            bytes += char(0xC0 | c >> 6);
            bytes += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            bytes += char(0xE0 | c >> 12);
            bytes += char(0x80 | (c >> 6 & 0x3F));
            bytes += char(0x80 | (c & 0x3F));
        } else {
            bytes += char(0xF0 | c >> 18);
            bytes += char(0x80 | (c >> 12 & 0x3F));
            bytes += char(0x80 | (c >> 6 & 0x3F));
            bytes += char(0x80 | (c & 0x3F));
        }
    }
    return bytes;
}

} // namespace filenames
