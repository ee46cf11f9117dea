#include "download/sidefile.h"

#include <algorithm>

SideFile::SideFile(std::filesystem::path path, BackgroundDigest *digest)
    : m_path(std::move(path)), m_digest(digest)
{
}

SideFile::~SideFile()
{
    finish();
}

bool SideFile::create(Creation how)
{
    // Removing takes away a link itself, never its target; a directory stays and the exclusive
    // create below then fails, as it does for anything that appears there in between.
    if (how == Replace) {
        files::removeFile(m_path);
    }
    auto created = files::createNew(m_path);
    m_ok = created.ok();
    if (!m_ok) {
        m_failure = created.failure();
        return false;
    }
    adopt(std::move(*created));
    return true;
}

void SideFile::adopt(files::File file)
{
    m_file = std::move(file);
    m_identity = m_file.identity();
    m_block = std::make_unique_for_overwrite<std::byte[]>(BlockSize);
    m_used = 0;
}

bool SideFile::resume(files::Identity identity, std::int64_t kept)
{
    auto opened = files::openToContinue(m_path);
    if (!opened) {
        m_failure = opened.failure();
        return false;
    }
    adopt(std::move(*opened));
    m_ok = m_identity == identity && m_file.size() == kept;
    std::int64_t read = 0;
    while (m_ok && read < kept) {
        const std::ptrdiff_t count =
            m_file.read(std::span(m_block.get() + m_used, BlockSize - m_used));
        m_ok = count > 0;
        read += std::max<std::ptrdiff_t>(count, 0);
        m_used += std::size_t(std::max<std::ptrdiff_t>(count, 0));
        if (m_used == BlockSize) {
            handOver();
        }
    }
    // What is on disk already is checksummed, never written again.
    handOver();
    m_ok = m_ok && read == kept;
    if (!m_ok) {
        m_failure = {Fault::Replaced,
                     files::displayText(m_path) + " is not the part this download kept"};
        m_file.close();
        return false;
    }
    return true;
}

bool SideFile::restart(BackgroundDigest *digest)
{
    m_digest = digest;
    m_fingerprint.reset();
    m_used = 0;
    const Status emptied = m_file.truncate();
    if (m_ok && !emptied) {
        m_ok = false;
        m_failure = {Fault::System,
                     "cannot empty " + files::displayText(m_path) + ": " + emptied.text()};
    }
    return m_ok;
}

std::span<std::byte> SideFile::space(std::size_t size)
{
    size = std::min(size, BlockSize);
    if (BlockSize - m_used < size) {
        flush();
    }
    return {m_block.get() + m_used, size};
}

bool SideFile::commit(std::size_t count)
{
    m_used += count;
    if (m_used == BlockSize) {
        flush();
    }
    return m_ok;
}

void SideFile::flush()
{
    if (m_ok && m_used > 0) {
        const Status written = m_file.writeAll(std::span(m_block.get(), m_used));
        m_ok = written.ok();
        if (!m_ok) {
            m_failure = {written.failure().fault,
                         "cannot write " + files::displayText(m_path) + ": " + written.text()};
        } else {
            handOver();
        }
    }
    m_used = 0;
}

void SideFile::handOver()
{
    m_fingerprint.add(std::span(m_block.get(), m_used));
    if (m_digest) {
        m_block = m_digest->handOver(std::move(m_block), m_used);
    }
    m_used = 0;
}

bool SideFile::finish()
{
    if (!m_file.isOpen()) {
        return m_ok;
    }
    flush();
    // Checked while the file is still open, so its identity cannot have gone to another file.
    if (m_ok && files::identityAt(m_path) != m_identity) {
        m_ok = false;
        m_failure = {Fault::Replaced,
                     files::displayText(m_path) + " is no longer the file this download wrote"};
    }
    m_file.close();
    return m_ok;
}
