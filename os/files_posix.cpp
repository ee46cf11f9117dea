// Files on Linux and the other POSIX systems.

#include "os/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

namespace files {

namespace {

int fd(std::intptr_t handle)
{
    return int(handle);
}

Failure failure(const fs::path &path, int error)
{
    return {error == EEXIST ? Fault::NameTaken : Fault::System,
            path.string() + ": " + std::strerror(error)};
}

Failure renameFailure(const fs::path &from, const fs::path &to, int error)
{
    return {error == EEXIST ? Fault::NameTaken : Fault::System,
            "cannot rename " + from.string() + " to " + to.string() + ": " + std::strerror(error)};
}

} // namespace

Status File::writeAll(std::span<const std::byte> bytes)
{
    const std::size_t wanted = bytes.size();
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd(m_handle), bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            // A full file system may take part of a write and then refuse the rest quietly.
            return Failure{Fault::System,
                           written < 0 ? std::strerror(errno)
                                       : "only " + std::to_string(wanted - bytes.size()) + " of " +
                                             std::to_string(wanted) + " bytes could be written"};
        }
        bytes = bytes.subspan(std::size_t(written));
    }
    return Success{};
}

std::ptrdiff_t File::read(std::span<std::byte> buffer)
{
    for (;;) {
        const ssize_t count = ::read(fd(m_handle), buffer.data(), buffer.size());
        if (count >= 0 || errno != EINTR) {
            return count;
        }
    }
}

Status File::truncate()
{
    if (::ftruncate(fd(m_handle), 0) != 0 || ::lseek(fd(m_handle), 0, SEEK_SET) != 0) {
        return Failure{Fault::System, std::strerror(errno)};
    }
    return Success{};
}

Identity File::identity() const
{
    struct stat status {};
    if (::fstat(fd(m_handle), &status) != 0) {
        return {};
    }
    return {std::uint64_t(status.st_dev), std::uint64_t(status.st_ino)};
}

std::uint64_t File::links() const
{
    struct stat status {};
    return ::fstat(fd(m_handle), &status) == 0 ? std::uint64_t(status.st_nlink) : 0;
}

std::int64_t File::size() const
{
    struct stat status {};
    return ::fstat(fd(m_handle), &status) == 0 ? std::int64_t(status.st_size) : -1;
}

void File::close()
{
    if (isOpen()) {
        ::close(fd(std::exchange(m_handle, Closed)));
    }
}

Result<File> createNew(const fs::path &path)
{
    const int handle = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (handle < 0) {
        return failure(path, errno);
    }
    return File(handle);
}

// Non-blocking, so that a FIFO with no writer cannot hold the open; then regular or nothing.
Result<File> openExisting(const fs::path &path, bool write)
{
    const int handle =
        ::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0) {
        // A link (ELOOP) or a socket (ENXIO) stands there.
        return errno == ELOOP || errno == ENXIO
                   ? Failure{Fault::NotRegular, path.string() + " is not a regular file"}
                   : failure(path, errno);
    }
    File file(handle);
    struct stat status {};
    if (::fstat(handle, &status) != 0 || !S_ISREG(status.st_mode)) {
        return Failure{Fault::NotRegular, path.string() + " is not a regular file"};
    }
    ::fcntl(handle, F_SETFL, 0);
    return file;
}

Result<File> openRegular(const fs::path &path)
{
    return openExisting(path, false);
}

Result<File> openToContinue(const fs::path &path)
{
    return openExisting(path, true);
}

std::optional<Identity> identityAt(const fs::path &path)
{
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return Identity{std::uint64_t(status.st_dev), std::uint64_t(status.st_ino)};
}

bool writableInPlace(const fs::path &path)
{
    // The write bits first: the superuser may write anything, but a file whose every write bit
    // is off was made read-only on purpose.
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 &&
           ::access(path.c_str(), W_OK) == 0;
}

bool removeFile(const fs::path &path)
{
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

Status renameOver(const fs::path &from, const fs::path &to)
{
    if (::rename(from.c_str(), to.c_str()) != 0) {
        return renameFailure(from, to, errno);
    }
    return Success{};
}

Status renameNew(const fs::path &from, const fs::path &to)
{
    const auto failed = [&](int error) { return Status(renameFailure(from, to, error)); };
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return Success{};
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return failed(errno);
    }
    // A file system without that rename: a second name made exclusively, then the first dropped.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return Success{};
    }
    if (errno != EPERM && errno != EOPNOTSUPP) {
        return failed(errno);
    }
    // Nor links (FAT on a memory stick): looked at, then renamed, the best such a one allows.
    struct stat status {};
    if (::lstat(to.c_str(), &status) == 0) {
        return failed(EEXIST);
    }
    return ::rename(from.c_str(), to.c_str()) == 0 ? Status(Success{}) : failed(errno);
}

namespace {

fs::path downloadFolder()
{
    const char *home = std::getenv("HOME");
    const fs::path homeDir = home && *home ? fs::path(home) : fs::path("/tmp");
    // The folder the desktop's user-dirs.dirs names, as the desktop's own programs use it.
    const char *config = std::getenv("XDG_CONFIG_HOME");
    const fs::path configDir = config && *config ? fs::path(config) : homeDir / ".config";
    std::ifstream dirs(configDir / "user-dirs.dirs");
    for (std::string line; std::getline(dirs, line);) {
        constexpr std::string_view key = "XDG_DOWNLOAD_DIR=\"";
        if (!line.starts_with(key) || !line.ends_with('"')) {
            continue;
        }
        std::string value = line.substr(key.size(), line.size() - key.size() - 1);
        if (value.starts_with("$HOME")) {
            return homeDir / fs::path(value.substr(5)).relative_path();
        }
        if (fs::path(value).is_absolute()) {
            return value;
        }
    }
    return homeDir / "Downloads";
}

} // namespace

bool markFromInternet(const fs::path &file, std::string_view address)
{
    // On the name itself: a link there takes no user attribute, and is not followed.
    return ::lsetxattr(file.c_str(), "user.xdg.origin.url", address.data(), address.size(), 0) == 0;
}

Folder fallbackFolder()
{
    // The user's download folder: theirs, so nothing of theirs is replaced there.
    return {downloadFolder(), false};
}

bool installedForAllUsers(const fs::path &dir)
{
    std::error_code error;
    const fs::path real = fs::canonical(dir, error);
    if (error) {
        return false;
    }
    for (const fs::path root : {"/usr", "/opt"}) {
        const auto [end, at] = std::mismatch(root.begin(), root.end(), real.begin(), real.end());
        if (end == root.end()) {
            return true;
        }
    }
    return false;
}

fs::path programPath()
{
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error);
}

fs::path systemRoot()
{
    return "/";
}

const filenames::System nameRules = filenames::System::Posix;

std::optional<std::u32string> decodeSystemText(std::string_view bytes)
{
    return filenames::fromUtf8(bytes);
}

fs::path pathFromSystemText(std::string_view bytes)
{
    return fs::path(std::string(bytes));
}

std::string displayText(const fs::path &path)
{
    return path.string();
}

std::optional<std::string> systemText(const fs::path &path)
{
    return path.native();
}

bool sameFileName(std::string_view a, std::string_view b)
{
    return a == b;
}

} // namespace files
