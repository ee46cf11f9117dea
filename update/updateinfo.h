#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The version record the maker publishes: the packed little-endian image of three fields,
// 264 bytes, with no header and no gaps.
inline constexpr std::size_t RecordSize = 264;
inline constexpr std::size_t SetupUrlSize = 256;

struct UpdateInfo {
    float Version = 0;
    std::array<char, SetupUrlSize> SetupUrl = blankUrl();
    std::int32_t SetupSize = 0;

    static constexpr std::array<char, SetupUrlSize> blankUrl()
    {
        std::array<char, SetupUrlSize> url{};
        url.fill(' ');
        return url;
    }
};

using RecordBytes = std::array<std::byte, RecordSize>;

// Field by field, whatever the host's byte order or struct layout.
UpdateInfo decodeRecord(std::span<const std::byte, RecordSize> bytes);
RecordBytes encodeRecord(const UpdateInfo &info);

// Text without the spaces that pad it on the right.
std::string_view trimPadding(std::string_view text);

// Bytes from the network as they may safely reach a terminal or a log: printable ASCII as it
// is, a backslash doubled, every other byte as \xHH.
std::string escapedText(std::string_view bytes);

// The address field without its padding spaces.
std::string_view setupAddress(const UpdateInfo &info);
