#include "minisign.h"
#include "testfiles.h"

#include <QProcess>

namespace {

bool run(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral("minisign"), args);
    process.closeWriteChannel();
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

} // namespace

bool Minisign::generate(const QString &name)
{
    return run({"-G", "-W", "-f", "-p", m_dir.filePath(name + ".pub"), "-s",
                m_dir.filePath(name + ".key")});
}

QString Minisign::publicKey(const QString &name) const
{
    return QString::fromLatin1(contents(m_dir.filePath(name + ".pub")).split('\n').value(1));
}

QByteArray Minisign::sign(const QString &name, const QByteArray &data, bool legacy,
                          const QString &trustedComment)
{
    const QString file = m_dir.filePath(QStringLiteral("signed-%1").arg(++m_files));
    if (!writeFile(file, data)) {
        return {};
    }
    QStringList args{
        "-S", "-s", m_dir.filePath(name + ".key"), "-m", file, "-x", file + ".minisig"};
    if (legacy) {
        args << "-l";
    }
    if (!trustedComment.isNull()) {
        args << "-t" << trustedComment;
    }
    return run(args) ? contents(file + ".minisig") : QByteArray();
}
