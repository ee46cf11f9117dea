#include "update/updateinfo.h"

#include <bit>
#include <cstring>

namespace {

constexpr std::size_t VersionOffset = 0;
constexpr std::size_t UrlOffset = 4;
constexpr std::size_t SizeOffset = UrlOffset + SetupUrlSize;

std::uint32_t readLittleEndian32(std::span<const std::byte, RecordSize> bytes, std::size_t at)
{
    return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 |
           std::uint32_t(bytes[at + 2]) << 16 | std::uint32_t(bytes[at + 3]) << 24;
}

void writeLittleEndian32(RecordBytes &bytes, std::size_t at, std::uint32_t value)
{
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[at + i] = std::byte(value >> (8 * i));
    }
}

} // namespace

UpdateInfo decodeRecord(std::span<const std::byte, RecordSize> bytes)
{
    UpdateInfo info;
    info.Version = std::bit_cast<float>(readLittleEndian32(bytes, VersionOffset));
    std::memcpy(info.SetupUrl.data(), bytes.data() + UrlOffset, SetupUrlSize);
    info.SetupSize = std::bit_cast<std::int32_t>(readLittleEndian32(bytes, SizeOffset));
    return info;
}

RecordBytes encodeRecord(const UpdateInfo &info)
{
    RecordBytes bytes{};
    writeLittleEndian32(bytes, VersionOffset, std::bit_cast<std::uint32_t>(info.Version));
    std::memcpy(bytes.data() + UrlOffset, info.SetupUrl.data(), SetupUrlSize);
    writeLittleEndian32(bytes, SizeOffset, std::bit_cast<std::uint32_t>(info.SetupSize));
    return bytes;
}

std::string_view trimPadding(std::string_view text)
{
    const auto last = text.find_last_not_of(' ');
    return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

std::string escapedText(std::string_view bytes)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        }
    }
    return out;
}

std::string_view setupAddress(const UpdateInfo &info)
{
    return trimPadding(std::string_view(info.SetupUrl.data(), info.SetupUrl.size()));
}
