#include "download/setupplacement.h"

namespace fs = std::filesystem;

namespace {

// Puts the complete side file in place. Whatever stood at the setup's name is moved aside
// first, onto a name only we hold, and removed after, so the rename never has to write out an
// old file's data, and an old setup comes back if the rename fails. A directory is never moved.
Status replaceSetup(const fs::path &part, const fs::path &target)
{
    std::error_code error;
    if (fs::is_directory(fs::symlink_status(target, error))) {
        return Failure{Fault::NotRegular, "a directory stands at " + files::displayText(target)};
    }
    std::optional<fs::path> aside;
    if (files::identityAt(target)) {
        if (auto claimed = files::claimFreshName(target, ".old-")) {
            claimed->file.close();
            aside = claimed->path;
            if (!files::renameOver(target, *aside)) {
                files::removeFile(*aside);
                aside.reset();
            }
        }
    }
    Status renamed = files::renameOver(part, target);
    if (aside) {
        if (renamed) {
            files::removeFile(*aside);
        } else {
            (void)files::renameOver(*aside, target);
        }
    }
    return renamed;
}

} // namespace

SetupPlacement::SetupPlacement(fs::path setupPath, bool keepOthers,
                               std::optional<files::Identity> program)
    : m_setupPath(std::move(setupPath)), m_keepOthers(keepOthers), m_program(program)
{
}

fs::path SetupPlacement::numberedName(const fs::path &path, int number)
{
    if (number == 0) {
        return path;
    }
    fs::path name = path.stem();
    name += " (" + std::to_string(number) + ")";
    name += path.extension();
    return path.parent_path() / name;
}

fs::path SetupPlacement::partName(const fs::path &path)
{
    fs::path part = path;
    part += ".part";
    return part;
}

Status SetupPlacement::spareProgram(const fs::path &target) const
{
    if (m_program && files::identityAt(target) == *m_program) {
        return Failure{Fault::IsProgram,
                       files::displayText(target) + " is the updater itself; it is not replaced"};
    }
    return Success{};
}

Failure SetupPlacement::noFreeName() const
{
    return {Fault::NameTaken, "no free name for " + files::displayText(m_setupPath)};
}

bool SetupPlacement::walk(const std::function<bool(const fs::path &)> &tryName)
{
    for (; m_number <= (m_keepOthers ? MostNumberedNames : 0); ++m_number) {
        m_target = numberedName(m_setupPath, m_number);
        if (tryName(m_target)) {
            return true;
        }
    }
    m_target.clear();
    return false;
}

Result<KeptPart> SetupPlacement::choose(const KeptPart::Wanted &wanted)
{
    m_number = 0;
    m_freshPart.reset();
    std::optional<KeptPart> kept;
    const bool found = walk([&](const fs::path &target) {
        if (m_keepOthers && files::identityAt(target)) {
            return false;
        }
        const fs::path part = partName(target);
        KeptPart here = KeptPart::find(part, wanted);
        // A name of the user's side file is passed over; one of ours is taken, to be continued
        // or replaced. A file there with another name is not even replaced.
        const bool foreign = here.found() == KeptPart::Found::Foreign;
        if (m_keepOthers &&
            (foreign || (here.found() == KeptPart::Found::Nothing && files::identityAt(part)))) {
            return false;
        }
        if (foreign) {
            // Created exclusively later: a name someone takes meanwhile fails the create.
            m_freshPart = files::freshName(part, "-");
        }
        kept = std::move(here);
        return true;
    });
    if (!found) {
        return noFreeName();
    }
    return std::move(*kept);
}

Status SetupPlacement::createSideFile(SideFile &file)
{
    Status created = noFreeName();
    walk([&](const fs::path &target) {
        if (m_keepOthers && files::identityAt(target)) {
            return false;
        }
        const bool exclusive = m_keepOthers || m_freshPart;
        if (file.create(m_freshPart.value_or(partName(target)),
                        exclusive ? SideFile::KeepOthers : SideFile::Replace)) {
            created = Success{};
            return true;
        }
        // Taken meanwhile, or at a name the system reports otherwise (a directory there).
        const bool taken =
            file.failure().fault == Fault::NameTaken || files::identityAt(file.path()).has_value();
        if (!m_keepOthers || !taken) {
            created = Failure{file.failure().fault, "cannot create " + file.failure().text};
            return true;
        }
        return false;
    });
    return created;
}

Status SetupPlacement::place(const fs::path &part)
{
    // Checked again at the last moment: the name may reach the updater by now.
    if (Status spared = spareProgram(m_target); !spared) {
        return spared;
    }
    if (!m_keepOthers) {
        return replaceSetup(part, m_target);
    }
    Status placed = noFreeName();
    const bool done = walk([&](const fs::path &target) {
        placed = files::renameNew(part, target);
        return placed || placed.failure().fault != Fault::NameTaken;
    });
    return done ? placed : Status(noFreeName());
}
