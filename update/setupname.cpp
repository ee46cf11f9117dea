#include "update/setupname.h"

#include "update/webclient.h"

#include <QDir>

#include <algorithm>
#include <array>
#include <cctype>

namespace {

std::string upper(std::string_view text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    return result;
}

bool isDeviceName(std::string_view name)
{
    // Windows opens a device for these names, with or without an extension.
    const std::string stem = upper(name.substr(0, name.find('.')));
    static constexpr std::array<std::string_view, 4> plain = {"CON", "PRN", "AUX", "NUL"};
    if (std::find(plain.begin(), plain.end(), stem) != plain.end()) {
        return true;
    }
    return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
           stem[3] >= '1' && stem[3] <= '9';
}

QString nameText(const std::string &name)
{
    return QString::fromLocal8Bit(name.data(), qsizetype(name.size()));
}

} // namespace

SetupName findSetupName(const UpdateInfo &info)
{
    const std::string_view field(info.SetupUrl.data(), info.SetupUrl.size());
    const auto slash = field.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? field : field.substr(slash + 1);
    const auto padding = name.find("  ");
    if (padding == std::string_view::npos) {
        return {};
    }
    return {std::string(name.substr(0, padding)), true};
}

std::optional<std::string> setupNameProblem(std::string_view name)
{
    if (name.empty()) {
        return "the setup file name is empty";
    }
    if (name == "." || name == "..") {
        return "the setup file name is \".\" or \"..\"";
    }
    if (name.size() > 255) {
        return "the setup file name is longer than 255 bytes";
    }
    for (const char c : name) {
        if (c == '/' || c == '\\' || c == ':') {
            return "the setup file name contains \"/\", \"\\\" or \":\"";
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return "the setup file name contains a control character";
        }
    }
    if (isDeviceName(name)) {
        return "the setup file name is a device name";
    }
    const std::string text(name);
    if (nameText(text).toLocal8Bit() != QByteArray::fromStdString(text)) {
        return "the setup file name is not valid text on this system";
    }
    return std::nullopt;
}

std::vector<std::string> recordProblems(const UpdateInfo &info)
{
    std::vector<std::string> problems;
    // A NUL would end the address that is fetched while the name is taken from past it; any
    // control byte makes the address mean different things to different readers.
    const bool control = std::any_of(info.SetupUrl.begin(), info.SetupUrl.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (control) {
        problems.emplace_back("the setup address contains a control character");
    }
    if (!isWebAddress(setupAddress(info))) {
        problems.emplace_back("the setup address is not an http or https address");
    }
    const SetupName setup = findSetupName(info);
    if (!setup.terminated) {
        problems.emplace_back("the setup address has no file name followed by two spaces");
    } else if (auto problem = setupNameProblem(setup.name); problem && !control) {
        problems.push_back(std::move(*problem));
    }
    if (info.SetupSize <= 0) {
        problems.emplace_back("the setup size is not positive");
    }
    return problems;
}

std::optional<QString> setupPathFor(const QString &programDir, const UpdateInfo &info)
{
    if (!recordProblems(info).empty()) {
        return std::nullopt;
    }
    return QDir::toNativeSeparators(programDir) + QDir::separator() +
           nameText(findSetupName(info).name);
}
