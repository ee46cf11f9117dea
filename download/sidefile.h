#pragma once

#include <QFile>
#include <QString>

#include <cstddef>
#include <span>
#include <vector>

// The file a download grows in before it is complete. It is created anew, never opened where
// something already stood: a link or a FIFO planted at its name cannot redirect or block the
// write. Small writes are gathered into large unbuffered ones.
class SideFile {
public:
    explicit SideFile(QString path);
    ~SideFile();

    // Removes whatever is at the path and creates an empty file there; false when that fails.
    bool create();
    // False once any write has failed; what follows it is not written.
    bool write(std::span<const std::byte> bytes);
    // Writes out what is gathered and closes the file; false when anything was lost.
    bool finish();
    QString errorString() const
    {
        return m_shortWrite.isEmpty() ? m_file.errorString() : m_shortWrite;
    }

private:
    void flush();

    QFile m_file;
    std::vector<std::byte> m_gathered;
    bool m_ok = false;
    QString m_shortWrite;
};
