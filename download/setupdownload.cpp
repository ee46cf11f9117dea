#include "download/setupdownload.h"

#include "download/progress.h"
#include "download/sidefile.h"

#include <QFile>

#include <array>
#include <chrono>
#include <filesystem>
#include <system_error>

namespace {

namespace fs = std::filesystem;

fs::path fsPath(const QString &path)
{
    return fs::path(path.toStdU16String());
}

// Puts the complete side file in place. Whatever stood at the setup's name is moved aside
// first and removed after, so the rename never has to write out an old file's data, and an
// old setup comes back if the rename fails. A directory there is never moved.
bool replace(const QString &part, const QString &target, std::string &why)
{
    std::error_code error;
    const fs::path to = fsPath(target);
    const fs::file_status existing = fs::symlink_status(to, error);
    if (fs::is_directory(existing)) {
        why = "a directory stands at " + target.toStdString();
        return false;
    }
    const fs::path aside = fsPath(target + QStringLiteral(".old"));
    const bool moved = fs::exists(existing) && (fs::remove(aside, error), true) &&
                       (fs::rename(to, aside, error), !error);
    fs::rename(fsPath(part), to, error);
    if (error) {
        why = "cannot rename the download to " + target.toStdString() + ": " + error.message();
        if (moved) {
            fs::rename(aside, to, error);
        }
        return false;
    }
    if (moved) {
        fs::remove(aside, error);
    }
    return true;
}

} // namespace

std::int64_t SteadyClock::milliseconds()
{
    using namespace std::chrono;
    return duration_cast<std::chrono::milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool VerifiedFile::unchanged(const std::optional<PublicKey> &key) const
{
    // Size and time stamps can be kept by a rewrite; the bytes cannot. A keyed build checks
    // the maker's signature once more as well.
    Fingerprinter now;
    Blake2b signedHash;
    const bool keyed = key && signature;
    if (!readRegularFile(path, [&](std::span<const std::byte> bytes) {
            now.add(bytes);
            if (keyed) {
                signedHash.add(bytes);
            }
        })) {
        return false;
    }
    if (now.finish() != fingerprint) {
        return false;
    }
    return !key || (signature && !signatureProblem(*key, *signature, signedHash.finish()));
}

SetupDownload::SetupDownload(const WebClient &web, Clock &clock, Listener listener,
                             std::optional<PublicKey> key)
    : m_web(web), m_clock(clock), m_listener(std::move(listener)), m_key(std::move(key))
{
}

SetupDownload::Outcome SetupDownload::fail(std::string why)
{
    m_failure = std::move(why);
    return Outcome::Failed;
}

SetupDownload::Outcome SetupDownload::run(const UpdateInfo &info, const QString &setupPath)
{
    m_received = 0;
    m_total = info.SetupSize;
    m_seconds = 0;
    m_verified.reset();
    m_failure.clear();

    // Once the last piece is in, the transfer is past cancelling: waiting for the resource's
    // end still lets the window run, but cannot stop it.
    bool pastLastPiece = false;
    bool stopped = false;
    const WaitHook wait = [this, &pastLastPiece, &stopped] {
        stopped = !tell(Event::Waiting) && !pastLastPiece;
        return !stopped;
    };
    // A keyed build fetches the maker's signature first: without one nothing is downloaded.
    std::optional<Signature> signature;
    if (m_key) {
        std::string why;
        signature = fetchSignature(m_web, setupAddress(info), wait, why);
        if (stopped) {
            return Outcome::Cancelled;
        }
        if (!signature) {
            return fail(why);
        }
    }
    WebResource address = m_web.open(setupAddress(info), wait);
    if (!address.isOpen()) {
        return address.result().abandoned
                   ? Outcome::Cancelled
                   : fail("cannot fetch the setup file: " + address.result().describe());
    }
    // Only now that the server has answered is anything touched on disk.
    const QString partPath = setupPath + QStringLiteral(".part");
    SideFile file(partPath);
    if (!file.create()) {
        return fail("cannot create " + partPath.toStdString() + ": " +
                    file.errorString().toStdString());
    }
    const std::int64_t start = m_clock.milliseconds();
    m_now = start;
    tell(Event::Started);

    const std::int32_t chunks = m_total / ChunkSize;
    const std::int32_t rest = m_total % ChunkSize;
    std::array<std::byte, ChunkSize> buffer;
    buffer.fill(std::byte{' '});
    bool intact = true;
    Fingerprinter hash;
    Blake2b signedHash;
    // Only what arrived is written: the buffer's tail still holds the previous chunk.
    const auto take = [&](std::span<std::byte> piece) {
        const std::size_t count = address.read(piece);
        m_received += std::int32_t(count);
        hash.add(piece.first(count));
        if (signature) {
            signedHash.add(piece.first(count));
        }
        intact = file.write(piece.first(count)) && count == piece.size();
    };

    for (std::int32_t chunk = 1; chunk <= chunks && intact; ++chunk) {
        take(buffer);
        m_now = m_clock.milliseconds();
        m_seconds = elapsedSeconds(m_now - start);
        if (!tell(Event::Chunk) || address.result().abandoned) {
            file.finish();
            return Outcome::Cancelled;
        }
    }
    if (intact && rest > 0) {
        take(std::span(buffer).first(std::size_t(rest)));
    }
    if (chunks == 0) {
        // No whole chunk was timed; time the piece, so the speed is a number.
        m_now = m_clock.milliseconds();
        m_seconds = elapsedSeconds(m_now - start);
    }
    pastLastPiece = true;
    tell(Event::LastPiece);
    if (address.result().abandoned) {
        file.finish();
        return Outcome::Cancelled;
    }

    // The resource must end exactly here: more bytes, or a broken end, mean another file.
    std::byte extra{};
    const bool ended = intact && address.read(std::span(&extra, 1)) == 0;
    const TransferResult result = address.result();
    address.close();
    const bool written = file.finish();
    if (result.abandoned) {
        return Outcome::Cancelled;
    }
    if (!written) {
        return fail("cannot write " + partPath.toStdString() + ": " +
                    file.errorString().toStdString());
    }
    if (!intact || !result.completed()) {
        const std::string why = result.completed() ? "the server ended it" : result.describe();
        return fail("the setup file stopped after " + std::to_string(m_received) + " of " +
                    std::to_string(m_total) + " bytes (" + why + ")");
    }
    if (!ended) {
        return fail("the server sent more than the " + std::to_string(m_total) +
                    " bytes announced");
    }
    if (signature) {
        if (auto problem = signatureProblem(*m_key, *signature, signedHash.finish())) {
            // Not the maker's file: none of it is kept.
            QFile::remove(partPath);
            return fail("the setup file is refused: " + *problem);
        }
    }
    std::string why;
    if (!replace(partPath, setupPath, why)) {
        return fail(why);
    }
    m_verified = VerifiedFile{setupPath, hash.finish(), signature};
    return Outcome::Completed;
}
