#pragma once

#include "download/keptpart.h"
#include "download/sidefile.h"
#include "os/files.h"

#include <filesystem>
#include <functional>
#include <optional>

// The name a setup file takes, and the side file beside it. In the program's own folder that is
// the setup's own name, and an older file there is replaced. In a folder of the user's no file
// is replaced, whoever wrote it: the setup takes the first free name of the form browsers use,
// "KolupSetup (1).exe". The running updater is never replaced, whatever name reaches it (on
// Windows a short name, or a trailing dot that Windows drops).
class SetupPlacement {
public:
    static constexpr int MostNumberedNames = 99;

    SetupPlacement(std::filesystem::path setupPath, bool keepOthers,
                   std::optional<files::Identity> program);

    // Fails as IsProgram when target reaches the running updater.
    Status spareProgram(const std::filesystem::path &target) const;
    // The first name free for both the setup and its side file, or whose side file this
    // updater kept, with what is kept there; fails when no name is free.
    Result<KeptPart> choose(const KeptPart::Wanted &wanted);
    // Creates the side file at the chosen name, or, in a folder of the user's, at the first
    // name after it that is still free.
    Status createSideFile(SideFile &file);
    // Gives the complete side file its name: checked against the updater once more, then the
    // chosen name replaced, or the first free one taken. Nothing that stands there is replaced
    // in a folder of the user's, even a file that appeared during the transfer.
    Status place(const std::filesystem::path &part);
    // The name the setup takes.
    const std::filesystem::path &target() const { return m_target; }
    // The side file's name beside it.
    std::filesystem::path sideFileName() const { return m_freshPart.value_or(partName(m_target)); }

    static std::filesystem::path numberedName(const std::filesystem::path &path, int number);
    static std::filesystem::path partName(const std::filesystem::path &path);

private:
    // Each candidate name from the current one on, until tryName says it is done with one;
    // false when none is left.
    bool walk(const std::function<bool(const std::filesystem::path &)> &tryName);
    Failure noFreeName() const;

    const std::filesystem::path m_setupPath;
    const bool m_keepOthers;
    const std::optional<files::Identity> m_program;
    int m_number = 0; // "name (number).ext"; 0 is the name itself
    std::filesystem::path m_target;
    // In the program's folder, where the side file's own name holds a file with another name
    // elsewhere: a name of its own beside it instead.
    std::optional<std::filesystem::path> m_freshPart;
};
