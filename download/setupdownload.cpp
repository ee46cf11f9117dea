#include "download/setupdownload.h"

#include "download/progress.h"
#include "update/log.h"

#include <random>

namespace {

namespace fs = std::filesystem;

// A name beside target that nobody else's file can have: created new, empty, by us.
std::optional<fs::path> claimAsideName(const fs::path &target)
{
    std::random_device random;
    for (int attempt = 0; attempt < 8; ++attempt) {
        fs::path aside = target;
        aside += ".old-" + std::to_string(random());
        if (files::createNew(aside)) {
            return aside;
        }
    }
    return std::nullopt;
}

// Puts the complete side file in place. Whatever stood at the setup's name is moved aside
// first, onto a name only we hold, and removed after, so the rename never has to write out an
// old file's data, and an old setup comes back if the rename fails. A directory is never moved.
Status replaceSetup(const fs::path &part, const fs::path &target)
{
    std::error_code error;
    if (fs::is_directory(fs::symlink_status(target, error))) {
        return Failure{Fault::NotRegular, "a directory stands at " + files::displayText(target)};
    }
    std::optional<fs::path> aside;
    if (files::identityAt(target)) {
        aside = claimAsideName(target);
        if (aside && !files::renameOver(target, *aside)) {
            files::removeFile(*aside);
            aside.reset();
        }
    }
    Status renamed = files::renameOver(part, target);
    if (!renamed) {
        if (aside) {
            (void)files::renameOver(*aside, target);
        }
        return renamed;
    }
    if (aside) {
        files::removeFile(*aside);
    }
    return renamed;
}

// In a folder of the user's: name, then "name (1).ext" and on, as browsers name a second copy.
constexpr int MostNumberedNames = 99;

fs::path numberedName(const fs::path &path, int number)
{
    if (number == 0) {
        return path;
    }
    fs::path name = path.stem();
    name += " (" + std::to_string(number) + ")";
    name += path.extension();
    return path.parent_path() / name;
}

fs::path partName(const fs::path &path)
{
    fs::path part = path;
    part += ".part";
    return part;
}

// Puts the complete side file at the first free numbered name of setupPath from number on, and
// says which in target: nothing that stands there is replaced, even a file that appeared
// during the transfer.
Status takeFreeName(const fs::path &part, const fs::path &setupPath, int number, fs::path &target)
{
    for (; number <= MostNumberedNames; ++number) {
        target = numberedName(setupPath, number);
        Status renamed = files::renameNew(part, target);
        if (renamed || renamed.failure().fault != Fault::NameTaken) {
            return renamed;
        }
    }
    return Failure{Fault::NameTaken, "no free name for " + files::displayText(setupPath)};
}

} // namespace

files::File VerifiedFile::openIfUnchanged() const
{
    auto opened = files::openRegular(path);
    // Another file there, or one of another size, has changed without a byte being read.
    if (!opened || opened->identity() != identity || opened->size() != size) {
        return {};
    }
    files::File &file = *opened;
    // Size and time stamps can be kept by a rewrite; the bytes cannot. A keyed build checks
    // the digest the maker signed once more as well.
    Fingerprinter now;
    Blake2b signedHash;
    const bool keyed = digest.has_value();
    std::int64_t read = 0;
    if (!readToEnd(file, [&](std::span<const std::byte> bytes) {
            read += std::int64_t(bytes.size());
            now.add(bytes);
            if (keyed) {
                signedHash.add(bytes);
            }
        })) {
        return {};
    }
    if (read != size || now.finish() != fingerprint || (keyed && signedHash.finish() != *digest)) {
        return {};
    }
    return std::move(file);
}

SetupDownload::SetupDownload(const WebClient &web, Clock &clock, Listener listener, Options options)
    : m_web(web), m_clock(clock), m_listener(std::move(listener)), m_options(std::move(options))
{
    m_wait = [this] {
        m_stopped = m_stopped || !tell(Event::Waiting);
        return !m_stopped;
    };
}

bool SetupDownload::fail(Error error, std::string text)
{
    m_error = error;
    m_errorText = std::move(text);
    return false;
}

SetupDownload::Outcome SetupDownload::run(const Offer &offer)
{
    m_received = 0;
    m_total = offer.record.SetupSize;
    m_expected = offer.binding ? std::optional(offer.binding->digest) : std::nullopt;
    m_seconds = 0;
    m_stopped = false;
    m_writeFailed = false;
    m_verified.reset();
    m_error = Error::None;
    m_errorText.clear();
    m_signedHash.reset();
    m_resource.reset();
    m_file.reset();

    const bool done =
        open(offer.record) && createSideFile(offer.setupPath) && copy() && awaitEnd() && finish();
    m_resource.reset();
    // What arrived stays in the side file; a transfer that ended early needs no digest.
    if (m_file) {
        m_file->finish();
    }
    m_signedHash.reset();
    if (done) {
        return Outcome::Completed;
    }
    return m_stopped ? Outcome::Cancelled : Outcome::Failed;
}

bool SetupDownload::open(const UpdateInfo &info)
{
    m_address = requestAddress(setupAddress(info));
    m_resource = m_web.open(m_address, m_wait);
    return m_resource->isOpen() ||
           (!m_stopped && fail(Error::CannotOpen,
                               "cannot fetch the setup file: " + m_resource->result().describe()));
}

bool SetupDownload::spareProgram(const fs::path &target)
{
    if (m_options.program && files::identityAt(target) == *m_options.program) {
        return fail(Error::NamesProgram,
                    files::displayText(target) + " is the updater itself; it is not replaced");
    }
    return true;
}

bool SetupDownload::createSideFile(const fs::path &setupPath)
{
    // Only now that the server has answered is anything touched on disk.
    if (!spareProgram(setupPath)) {
        return false;
    }
    if (m_expected) {
        m_signedHash.emplace(SideFile::BlockSize);
    }
    BackgroundDigest *const digest = m_signedHash ? &*m_signedHash : nullptr;
    // In the program's folder the setup's own names, replacing what stands there; in a folder
    // of the user's the first pair of names free for both the setup and its side file.
    const bool keep = m_options.keepOthers;
    m_setupPath = setupPath;
    for (m_number = 0; m_number <= (keep ? MostNumberedNames : 0); ++m_number) {
        m_target = numberedName(setupPath, m_number);
        if (keep && files::identityAt(m_target)) {
            continue;
        }
        m_file.emplace(partName(m_target), digest);
        if (m_file->create(keep ? SideFile::KeepOthers : SideFile::Replace)) {
            return true;
        }
        // Taken meanwhile, or at a name the system reports otherwise (a directory there).
        const bool taken = m_file->failure().fault == Fault::NameTaken ||
                           files::identityAt(m_file->path()).has_value();
        if (!keep || !taken) {
            return fail(Error::CannotCreate, "cannot create " + m_file->failure().text);
        }
    }
    return fail(Error::CannotCreate, "no free name for " + files::displayText(setupPath));
}

bool SetupDownload::take(std::size_t size)
{
    // A chunk is read straight into the block the side file writes from: no copy of its own.
    const std::span<std::byte> piece = m_file->space(size);
    const std::size_t count = m_resource->read(piece);
    // The chunk's time is when it arrived, before it is hashed or written.
    m_now = m_clock.milliseconds();
    m_received += std::int32_t(count);
    // Only what arrived is written (and, keyed, hashed once written).
    m_writeFailed = m_writeFailed || !m_file->commit(count);
    return !m_writeFailed && count == size;
}

bool SetupDownload::copy()
{
    m_start = m_clock.milliseconds();
    m_now = m_start;
    tell(Event::Started);

    const std::int32_t chunks = m_total / ChunkSize;
    const std::int32_t rest = m_total % ChunkSize;
    bool intact = true;
    for (std::int32_t chunk = 1; chunk <= chunks && intact; ++chunk) {
        intact = take(ChunkSize);
        m_seconds = elapsedSeconds(m_now - m_start);
        if (!tell(Event::Chunk) || m_resource->result().abandoned) {
            m_stopped = true;
            return false;
        }
    }
    if (intact && rest > 0) {
        intact = take(std::size_t(rest));
        if (chunks == 0) {
            // No whole chunk was timed; time the piece, so the speed is a number.
            m_seconds = elapsedSeconds(m_now - m_start);
        }
    }
    tell(Event::LastPiece);
    if (m_resource->result().abandoned) {
        m_stopped = true;
        return false;
    }
    if (m_writeFailed) {
        return fail(Error::CannotWrite, m_file->failure().text);
    }
    if (!intact) {
        const TransferResult &result = m_resource->result();
        const std::string why = result.completed() ? "the server ended it" : result.describe();
        return fail(Error::CutShort, "the setup file stopped after " + std::to_string(m_received) +
                                         " of " + std::to_string(m_total) + " bytes (" + why + ")");
    }
    return true;
}

bool SetupDownload::awaitEnd()
{
    // The resource must end exactly here: more bytes, or a broken end, mean another file. The
    // wait for the end answers a cancel like any other wait.
    std::byte extra{};
    const bool more = m_resource->read(std::span(&extra, 1)) > 0;
    const TransferResult &result = m_resource->result();
    if (result.abandoned) {
        m_stopped = true;
        logMessage(LogKind::Failure, "cancelled while the server had not ended the setup file");
        return false;
    }
    if (more) {
        return fail(Error::TooLong, "the server sent more than the " + std::to_string(m_total) +
                                        " bytes announced");
    }
    if (result.stalled) {
        return fail(Error::NoEnd, "the server sent all " + std::to_string(m_total) +
                                      " bytes but never ended the setup file");
    }
    if (!result.completed()) {
        return fail(Error::CutShort,
                    "the setup file's transfer failed at its end: " + result.describe());
    }
    return true;
}

bool SetupDownload::finish()
{
    m_resource.reset();
    if (!m_file->finish()) {
        const Failure &failure = m_file->failure();
        return fail(failure.fault == Fault::Replaced ? Error::SideFileReplaced : Error::CannotWrite,
                    failure.text);
    }
    std::optional<Digest> digest;
    if (m_expected) {
        digest = m_signedHash->finish();
        if (*digest != *m_expected) {
            // Not the file the maker's signature names: none of it is kept.
            files::removeFile(m_file->path());
            return fail(Error::NotSigned, "the setup file is refused: its BLAKE2b-512 digest is "
                                          "not the one the record's signature names");
        }
    }
    // Checked again at the last moment: the name may reach the updater by now.
    if (!spareProgram(m_target)) {
        files::removeFile(m_file->path());
        return false;
    }
    if (const Status placed = m_options.keepOthers
                                  ? takeFreeName(m_file->path(), m_setupPath, m_number, m_target)
                                  : replaceSetup(m_file->path(), m_target);
        !placed) {
        return fail(Error::CannotReplace, placed.text());
    }
    // Unsigned, it carries where it came from, for the system's own checks; a keyed build has
    // verified the maker's signature instead.
    if (!m_expected && !files::markFromInternet(m_target, m_address)) {
        logMessage(LogKind::Failure, "cannot mark " + files::displayText(m_target) +
                                         " with the address it came from");
    }
    m_verified = VerifiedFile{m_target, m_file->identity(), std::int64_t(m_total),
                              m_file->fingerprint(), digest};
    return true;
}
