#include "app/enginecomponent.h"

#include "os/files.h"

#include <array>

#include <charconv>
#include <cmath>

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

} // namespace

std::optional<float> parseEngineVersion(std::string_view text)
{
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    float value = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::unique_ptr<EngineComponent> EngineComponent::create(const std::filesystem::path &versionFile)
{
    // Only a regular file, opened without waiting: a FIFO or a device there must not hold up
    // the window's start.
    auto file = files::openRegular(versionFile);
    if (!file) {
        return nullptr;
    }
    // A version is a few characters; anything long is not a version file.
    std::array<char, 64> text{};
    const std::ptrdiff_t count = file->read(std::as_writable_bytes(std::span(text)));
    if (count < 0 || std::size_t(count) == text.size()) {
        return nullptr;
    }
    const auto version = parseEngineVersion(std::string_view(text.data(), std::size_t(count)));
    if (!version) {
        return nullptr;
    }
    return std::unique_ptr<EngineComponent>(new EngineComponent(*version));
}
