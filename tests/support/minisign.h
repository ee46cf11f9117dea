#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// Keys and signatures made by the real minisign tool, as a maker makes them.
class Minisign {
public:
    // A new key pair under name; false when minisign failed.
    bool generate(const QString &name);
    // The base64 line of name's public key.
    QString publicKey(const QString &name) const;
    // The .minisig text of data signed with name's key; legacy for the old, unhashed form; with
    // a trusted comment of the caller's instead of minisign's time stamp.
    QByteArray sign(const QString &name, const QByteArray &data, bool legacy = false,
                    const QString &trustedComment = {});

private:
    QTemporaryDir m_dir;
    int m_files = 0;
};
