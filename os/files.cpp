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

bool canWriteIn(const fs::path &dir)
{
    // Tried, not guessed: permission bits and attributes say "writable" where creating a file
    // then fails (Program Files on NTFS, a read-only mount).
    std::random_device random;
    const fs::path probe = dir / (".kolup-probe-" + std::to_string(random()));
    if (!createNew(probe)) {
        return false;
    }
    removeFile(probe);
    return true;
}

} // namespace files
