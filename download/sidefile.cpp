#include "download/sidefile.h"

namespace {

// Large enough that writing costs little beside the network, small enough to be no memory.
constexpr std::size_t BlockSize = 256 * 1024;

} // namespace

SideFile::SideFile(QString path) : m_file(std::move(path)) {}

SideFile::~SideFile()
{
    finish();
}

bool SideFile::create()
{
    // Removing takes away a link itself, never its target; a directory stays and the exclusive
    // create below then fails, as it does for anything that appears there in between.
    QFile::remove(m_file.fileName());
    m_ok = m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered);
    m_gathered.reserve(BlockSize);
    return m_ok;
}

bool SideFile::write(std::span<const std::byte> bytes)
{
    while (m_ok && !bytes.empty()) {
        const std::size_t room = BlockSize - m_gathered.size();
        const std::size_t take = std::min(room, bytes.size());
        m_gathered.insert(m_gathered.end(), bytes.begin(), bytes.begin() + std::ptrdiff_t(take));
        bytes = bytes.subspan(take);
        if (m_gathered.size() == BlockSize) {
            flush();
        }
    }
    return m_ok;
}

void SideFile::flush()
{
    if (m_ok && !m_gathered.empty()) {
        const auto size = qint64(m_gathered.size());
        const qint64 written = m_file.write(reinterpret_cast<const char *>(m_gathered.data()), size);
        m_ok = written == size;
        if (!m_ok && written >= 0) {
            // A short write sets no error of its own: the file system took what it could.
            m_shortWrite = QStringLiteral("only %1 of %2 bytes could be written; is the disk full?")
                               .arg(written)
                               .arg(size);
        }
    }
    m_gathered.clear();
}

bool SideFile::finish()
{
    if (!m_file.isOpen()) {
        return m_ok;
    }
    flush();
    m_file.close();
    m_ok = m_ok && m_file.error() == QFileDevice::NoError;
    return m_ok;
}
