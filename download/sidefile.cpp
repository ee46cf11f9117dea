#include "download/sidefile.h"

#include <algorithm>

SideFile::~SideFile()
{
    finish();
    // A transfer that ended early needs no digest: what still waits is not hashed.
    if (m_digest) {
        m_digest->abandon();
    }
}

bool SideFile::create(const std::filesystem::path &path, Creation how)
{
    // Removing takes away a link itself, never its target; a directory stays and the exclusive
    // create below then fails, as it does for anything that appears there in between.
    if (how == Replace) {
        files::removeFile(path);
    }
    auto created = files::createNew(path);
    m_ok = created.ok();
    if (!m_ok) {
        m_path = path;
        m_failure = created.failure();
        return false;
    }
    adopt(path, std::move(*created));
    // Linked elsewhere the moment it was made: a write here would reach that file too.
    m_ok = m_file.links() == 1;
    if (!m_ok) {
        m_failure = {Fault::NotRegular, files::displayText(m_path) + " has another name elsewhere"};
        m_file.close();
    }
    return m_ok;
}

void SideFile::adopt(const std::filesystem::path &path, files::File file)
{
    m_path = path;
    m_file = std::move(file);
    m_identity = m_file.identity();
    m_fingerprint.reset();
    m_digest.reset();
    if (m_keyed) {
        m_digest.emplace(BlockSize);
    }
    m_block = std::make_unique_for_overwrite<std::byte[]>(BlockSize);
    m_used = 0;
}

bool SideFile::resume(const std::filesystem::path &path, files::Identity identity,
                      std::int64_t kept, const std::function<bool()> &goOn)
{
    auto opened = files::openToContinue(path);
    if (!opened) {
        m_path = path;
        m_failure = opened.failure();
        return false;
    }
    adopt(path, std::move(*opened));
    // A part with another name elsewhere is never written: the write would reach that file.
    m_ok = m_identity == identity && m_file.size() == kept && m_file.links() == 1;
    std::int64_t read = 0;
    while (m_ok && read < kept) {
        if (!goOn()) {
            m_failure = {Fault::Cancelled,
                         "cancelled while " + files::displayText(m_path) + " was read back"};
            m_file.close();
            return false;
        }
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

bool SideFile::restart()
{
    m_fingerprint.reset();
    m_used = 0;
    // A fresh digest: the old one may still hash blocks of the bytes being thrown away.
    m_digest.reset();
    if (m_keyed) {
        m_digest.emplace(BlockSize);
    }
    const Status emptied = m_file.truncate();
    if (m_ok && !emptied) {
        m_ok = false;
        m_failure = {Fault::System,
                     "cannot empty " + files::displayText(m_path) + ": " + emptied.text()};
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

Digest SideFile::signedDigest()
{
    return m_digest->finish();
}
