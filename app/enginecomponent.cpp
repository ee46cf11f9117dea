#include "app/enginecomponent.h"

#include <QFile>

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

std::unique_ptr<EngineComponent> EngineComponent::create(const QString &versionFile)
{
    QFile file(versionFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return nullptr;
    }
    // A version is a few characters; anything long is not a version file.
    const QByteArray text = file.read(256);
    if (!file.atEnd()) {
        return nullptr;
    }
    const auto version = parseEngineVersion(std::string_view(text.constData(), text.size()));
    if (!version) {
        return nullptr;
    }
    return std::unique_ptr<EngineComponent>(new EngineComponent(*version));
}
