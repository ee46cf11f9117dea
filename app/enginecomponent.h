#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

// The installed Kolup engine as this program sees it: one value, the installed version. The
// engine's installer leaves it as text (such as "1.2") in a small file; a component can only
// be created when that file holds a version.
class EngineComponent {
public:
    static std::unique_ptr<EngineComponent> create(const std::filesystem::path &versionFile);

    float InstalledVersion() const { return m_installedVersion; }

private:
    explicit EngineComponent(float installedVersion) : m_installedVersion(installedVersion) {}

    float m_installedVersion;
};

// A version as the engine writes it: a decimal number with a point, white space around it
// allowed, nothing else.
std::optional<float> parseEngineVersion(std::string_view text);
