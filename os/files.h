#pragma once

#include "os/failure.h"
#include "os/filenames.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The few things about files that each operating system does its own way: one source file per
// system implements them (files_posix.cpp, files_win.cpp). Everything the updater writes or
// starts goes through here, so that no link, junction or FIFO planted at a name is followed.
namespace files {

namespace fs = std::filesystem;

// What a file is, whatever name it has: two names with the same identity are one file.
struct Identity {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    std::uint64_t fileHigh = 0; // file systems with 128-bit file IDs (ReFS) use these too
    bool operator==(const Identity &) const = default;
};

// An open file, closed when it goes.
class File {
public:
    File() = default;
    File(File &&other) noexcept;
    File &operator=(File &&other) noexcept;
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File();

    bool isOpen() const { return m_handle != Closed; }
    // Writes every byte; fails when not all of them could be written.
    Status writeAll(std::span<const std::byte> bytes);
    // Up to buffer's size; 0 at the end, -1 on failure.
    std::ptrdiff_t read(std::span<std::byte> buffer);
    // Empties the file; what is written next is its first byte.
    Status truncate();
    Identity identity() const;
    // How many names the file has; 0 when that cannot be told. A file with more than one has
    // a name elsewhere, which a write here would reach too.
    std::uint64_t links() const;
    std::int64_t size() const;
    void close();

private:
    friend Result<File> createNew(const fs::path &);
    friend Result<File> openExisting(const fs::path &, bool write);
    static constexpr std::intptr_t Closed = -1;
    explicit File(std::intptr_t handle) : m_handle(handle) {}
    std::intptr_t m_handle = Closed;
};

// A new file for writing where nothing stood: anything already at the name (a file, a link, a
// FIFO, a directory) makes it fail as NameTaken.
Result<File> createNew(const fs::path &path);
// A regular file for reading, never through a link and never waiting on a FIFO; anything else
// at the name fails as NotRegular.
Result<File> openRegular(const fs::path &path);
// The same for reading and writing: read to its end, it is written on from there.
Result<File> openToContinue(const fs::path &path);
// What stands at path itself (a link is not followed); nothing when nothing does.
std::optional<Identity> identityAt(const fs::path &path);
// Removes a file or a link, never a directory; true when nothing is left at path.
bool removeFile(const fs::path &path);
// Gives `from` the name `to` in one step, replacing a file there.
Status renameOver(const fs::path &from, const fs::path &to);
// Gives `from` the name `to` only while nothing stands at `to`: in one step where the file
// system can, never replacing what is there, which fails as NameTaken.
Status renameNew(const fs::path &from, const fs::path &to);

// A name beside path that no other file can have: path's own name, then suffix and a random
// number, created new and empty by us (never through what stands there). A few tries; fails
// when every name tried was taken.
// A name beside path no other file is likely to have: path's own name, then suffix and a
// random number. Nothing is created; claimFreshName below makes sure of it.
fs::path freshName(const fs::path &path, std::string_view suffix);
struct FreshFile {
    fs::path path;
    File file;
};
Result<FreshFile> claimFreshName(const fs::path &path, std::string_view suffix);
// Makes bytes the whole of the file at path: written under a fresh name beside it, given
// permissions when asked, then renamed over whatever stands at path. A reader never sees half
// of it, a link or FIFO there is replaced, never written through, and a failure leaves no
// scratch file behind.
Status writeWholeFile(const fs::path &path, std::span<const std::byte> bytes,
                      std::optional<fs::perms> permissions = std::nullopt);

// Marks a file as downloaded from address, as browsers do, so that the system's own checks of
// what comes from the internet see it: on Windows the Zone.Identifier stream (zone 3, the
// internet), on Linux the freedesktop attribute user.xdg.origin.url, which file managers show.
// False when the mark could not be written (a file system without such attributes).
bool markFromInternet(const fs::path &file, std::string_view address);

// Whether a file can really be created in dir: tried, not guessed from permission bits.
bool canWriteIn(const fs::path &dir);
// Whether the regular file at path (a link is not followed) may be written where it stands:
// false for a file made read-only, whoever asks, and for one this user may not write.
bool writableInPlace(const fs::path &path);
// Where the setup file goes when the program's own folder cannot be written, and whether the
// folder is the program's own to replace files in.
struct Folder {
    fs::path path;
    bool ours = false;
};
Folder fallbackFolder();
// Whether dir lies in a folder installed for every user of the machine (Program Files on
// Windows, /usr and /opt on Linux). Such a folder is never the setup's, even where an
// administrator could write it: a file saved there would be every user's, and the uninstall
// would leave it behind. Judged on the folders' final names, so that a short name, a link or
// another spelling of the same folder gets the same answer.
bool installedForAllUsers(const fs::path &dir);
// The running program's own file.
fs::path programPath();
// Where a started program begins: the system drive's root.
fs::path systemRoot();

// Names from the network are single-byte text in the system's encoding (UTF-8 here, the ANSI
// code page on Windows). Their characters, or nothing when bytes are not such text; the rules
// this system's names follow; the path bytes name; a path as UTF-8 for the window; a path in
// the system's encoding, or nothing when that cannot hold it; and whether two file names name
// the same file here (Windows ignores letter case).
std::optional<std::u32string> decodeSystemText(std::string_view bytes);
extern const filenames::System nameRules;
fs::path pathFromSystemText(std::string_view bytes);
std::string displayText(const fs::path &path);
std::optional<std::string> systemText(const fs::path &path);
bool sameFileName(std::string_view a, std::string_view b);

} // namespace files
