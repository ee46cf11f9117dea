#include "update/setupname.h"

#include "os/files.h"
#include "update/webclient.h"

#include <algorithm>
#include <cmath>

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

Status checkSetupName(std::string_view name, std::string_view programName)
{
    const auto refused = [](std::string text) { return Failure{Fault::Refused, std::move(text)}; };
    const auto text = files::decodeSystemText(name);
    if (!text) {
        return refused("the setup file name is not valid text on this system");
    }
    if (const Status named = filenames::check(*text, files::nameRules); !named) {
        return refused("the setup file name " + named.text());
    }
    if (!programName.empty() && files::sameFileName(name, programName)) {
        return refused("the setup file name is the updater's own");
    }
    return Success{};
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
    } else if (const Status name = checkSetupName(setup.name, programName); !name && !control) {
        problems.push_back(name.text());
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

Result<std::filesystem::path> setupPathFor(const std::filesystem::path &programDir,
                                           const UpdateInfo &info, std::string_view programName)
{
    if (auto problems = recordProblems(info, programName); !problems.empty()) {
        return Failure{Fault::Refused, std::move(problems.front())};
    }
    // Joined as text, folder, separator, name, as the closing message shows it: a root folder
    // keeps the separator it ends in and gets a second one, which every system takes.
    std::filesystem::path path = programDir;
    path += std::filesystem::path::preferred_separator;
    path += files::pathFromSystemText(findSetupName(info).name);
    return path;
}
