// What the file layer does the same way on every system, over the calls of its own file.

#include "os/files.h"

#include <random>
#include <utility>

namespace files {

File::File(File &&other) noexcept : m_handle(std::exchange(other.m_handle, Closed)) {}

File &File::operator=(File &&other) noexcept
{
    if (this != &other) {
        close();
        m_handle = std::exchange(other.m_handle, Closed);
    }
    return *this;
}

File::~File()
{
    close();
}

fs::path freshName(const fs::path &path, std::string_view suffix)
{
    std::random_device random;
    fs::path fresh = path;
    fresh += std::string(suffix) + std::to_string(random()) + std::to_string(random());
    return fresh;
}

Result<FreshFile> claimFreshName(const fs::path &path, std::string_view suffix)
{
    Failure last{Fault::NameTaken, "no fresh name beside " + displayText(path)};
    for (int attempt = 0; attempt < 8; ++attempt) {
        fs::path fresh = freshName(path, suffix);
        auto created = createNew(fresh);
        if (created) {
            return FreshFile{std::move(fresh), std::move(*created)};
        }
        // Only a name someone else holds is worth another try; a folder we cannot write is not.
        if (created.failure().fault != Fault::NameTaken) {
            return created.failure();
        }
        last = created.failure();
    }
    return last;
}

Status writeWholeFile(const fs::path &path, std::span<const std::byte> bytes,
                      std::optional<fs::perms> permissions)
{
    auto fresh = claimFreshName(path, ".tmp-");
    if (!fresh) {
        return fresh.failure();
    }
    Status written = fresh->file.writeAll(bytes);
    fresh->file.close();
    if (written && permissions) {
        std::error_code error;
        fs::permissions(fresh->path, *permissions, fs::perm_options::replace, error);
        if (error) {
            written = Failure{Fault::System, "cannot set the permissions of " +
                                                 displayText(fresh->path) + ": " + error.message()};
        }
    }
    if (written) {
        written = renameOver(fresh->path, path);
    }
    if (!written) {
        removeFile(fresh->path);
    }
    return written;
}

bool canWriteIn(const fs::path &dir)
{
    // Tried, not guessed: permission bits and attributes say "writable" where creating a file
    // then fails (Program Files on NTFS, a read-only mount).
    auto probe = claimFreshName(dir / ".kolup-probe", "-");
    if (!probe) {
        return false;
    }
    probe->file.close();
    removeFile(probe->path);
    return true;
}

} // namespace files
