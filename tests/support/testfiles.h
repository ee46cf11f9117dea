#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The bytes at path; null where nothing can be read there.
inline QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes bytes as the whole of the file at path, made or emptied; false where any is not.
inline bool writeFile(const QString &path, const QByteArray &bytes,
                      QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile file(path);
    return file.open(mode) && file.write(bytes) == bytes.size();
}

// Bytes in which no stretch repeats at a near offset, so a mixed-up copy shows.
inline QByteArray pattern(qsizetype size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        data[i] = char(i * 7 + i / 1024);
    }
    return data;
}
