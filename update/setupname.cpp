#include "update/setupname.h"

#include "os/files.h"
#include "update/webclient.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>

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
    // Windows opens a device for these names, with or without an extension; its port numbers
    // include 0 and the superscript digits.
    const std::string stem = upper(name.substr(0, name.find('.')));
    static constexpr std::array<std::string_view, 6> plain = {"CON", "PRN",    "AUX",
                                                              "NUL", "CONIN$", "CONOUT$"};
    if (std::find(plain.begin(), plain.end(), stem) != plain.end()) {
        return true;
    }
    if (!stem.starts_with("COM") && !stem.starts_with("LPT")) {
        return false;
    }
    const std::string_view port = std::string_view(stem).substr(3);
    static constexpr std::array<std::string_view, 3> superscripts = {"\xC2\xB9", "\xC2\xB2",
                                                                     "\xC2\xB3"};
    return (port.size() == 1 && port[0] >= '0' && port[0] <= '9') ||
           std::find(superscripts.begin(), superscripts.end(), port) != superscripts.end();
}

// Characters that change how the text around them is shown: C1 controls (U+0080 to U+009F)
// and the bidirectional embeddings, overrides and isolates, in UTF-8 text.
bool hasInvisibleControl(std::string_view name)
{
    for (std::size_t i = 0; i + 1 < name.size(); ++i) {
        const auto a = static_cast<unsigned char>(name[i]);
        const auto b = static_cast<unsigned char>(name[i + 1]);
        if (a == 0xC2 && b >= 0x80 && b <= 0x9F) {
            return true;
        }
        if (a == 0xE2 && i + 2 < name.size()) {
            const auto c = static_cast<unsigned char>(name[i + 2]);
            if ((b == 0x80 && c >= 0xAA && c <= 0xAE) || (b == 0x81 && c >= 0xA6 && c <= 0xA9)) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

bool isControlByte(char c)
{
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

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

std::optional<std::string> setupNameProblem(std::string_view name, std::string_view programName)
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
    if (name.find_first_of("/\\:") != std::string_view::npos) {
        return "the setup file name contains \"/\", \"\\\" or \":\"";
    }
    if (std::any_of(name.begin(), name.end(), isControlByte)) {
        return "the setup file name contains a control character";
    }
    if (!files::isSystemText(name)) {
        return "the setup file name is not valid text on this system";
    }
    // The name's characters, whatever the system's code page: on Windows a superscript or a
    // C1 byte means one thing in the ANSI code page and another in UTF-8.
    const std::string text = files::displayText(files::pathFromSystemText(name));
    if (isDeviceName(text)) {
        return "the setup file name is a device name";
    }
    if (hasInvisibleControl(text)) {
        return "the setup file name contains a character that changes how text is shown";
    }
    if (!programName.empty() && files::sameFileName(name, programName)) {
        return "the setup file name is the updater's own";
    }
    return std::nullopt;
}

std::vector<std::string> recordProblems(const UpdateInfo &info, std::string_view programName)
{
    std::vector<std::string> problems;
    // A NUL would end the address that is fetched while the name is taken from past it; any
    // control byte makes the address mean different things to different readers.
    const bool control = std::any_of(info.SetupUrl.begin(), info.SetupUrl.end(), isControlByte);
    if (control) {
        problems.emplace_back("the setup address contains a control character");
    }
    if (!isWebAddress(setupAddress(info))) {
        problems.emplace_back("the setup address is not an http or https address");
    }
    const SetupName setup = findSetupName(info);
    if (!setup.terminated) {
        problems.emplace_back("the setup address has no file name followed by two spaces");
    } else if (auto problem = setupNameProblem(setup.name, programName); problem && !control) {
        problems.push_back(std::move(*problem));
    }
    if (info.SetupSize <= 0) {
        problems.emplace_back("the setup size is not positive");
    }
    // Every installed version is older than infinity: it would be offered for ever.
    if (std::isinf(info.Version)) {
        problems.emplace_back("the version is infinite");
    }
    return problems;
}

std::optional<std::filesystem::path> setupPathFor(const std::filesystem::path &programDir,
                                                  const UpdateInfo &info,
                                                  std::string_view programName)
{
    if (!recordProblems(info, programName).empty()) {
        return std::nullopt;
    }
    // Joined as text, not with "/": a root directory keeps the separator it ends in and gets a
    // second one, as it always has.
    std::filesystem::path path = programDir;
    path += std::filesystem::path::preferred_separator;
    path += files::pathFromSystemText(findSetupName(info).name);
    return path;
}
