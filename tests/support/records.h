#pragma once

#include "update/updateinfo.h"

#include <QByteArray>

#include <cstring>

// A version record's fields, the address padded with spaces.
inline UpdateInfo updateInfo(float version, const QByteArray &url, std::int32_t size)
{
    UpdateInfo info;
    info.Version = version;
    std::memcpy(info.SetupUrl.data(), url.constData(),
                std::size_t(qMin<qsizetype>(url.size(), qsizetype(SetupUrlSize))));
    info.SetupSize = size;
    return info;
}

// A version record as the maker's tool writes it.
inline QByteArray recordBytes(float version, const QByteArray &url, std::int32_t size)
{
    const RecordBytes bytes = encodeRecord(updateInfo(version, url, size));
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}
