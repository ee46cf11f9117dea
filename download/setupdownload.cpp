#include "download/setupdownload.h"

#include "download/progress.h"
#include "update/log.h"

#include <random>
#include <thread>

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
    m_received = m_fetched = m_resumedFrom = 0;
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
    m_kept.reset();
    m_staleKept = m_keepNothing = false;
    m_asked.reset();
    m_validator.clear();
    m_reconnects = m_stalledReconnects = 0;
    m_largest = 0;
    m_address = requestAddress(setupAddress(offer.record));

    bool done = spareProgram(offer.setupPath);
    if (done) {
        chooseSideFile(offer.setupPath);
        done = open() && openSideFile() && copy() && awaitEnd() && finish();
    }
    m_resource.reset();
    keepOrDrop(done);
    m_signedHash.reset();
    if (done) {
        return Outcome::Completed;
    }
    return m_stopped ? Outcome::Cancelled : Outcome::Failed;
}

bool SetupDownload::resumable(const ResumeNote &note, const fs::path &part) const
{
    // Unkeyed, only the server's validator can say that the rest belongs to the kept start;
    // keyed, the whole file's digest decides at the end whatever the server says.
    if (note.address != m_address || note.size != m_total || note.digest != m_expected ||
        (!m_expected && note.validator.empty()) || files::identityAt(part) != note.identity) {
        return false;
    }
    std::error_code error;
    const auto kind = fs::symlink_status(part, error).type();
    const auto size = kind == fs::file_type::regular ? fs::file_size(part, error) : 0;
    // A part as long as the file has nothing left to ask for: it is fetched again.
    return !error && size > 0 && size < std::uintmax_t(m_total);
}

void SetupDownload::chooseSideFile(const fs::path &setupPath)
{
    // In the program's folder the setup's own names, replacing what stands there; in a folder
    // of the user's the first pair of names free for both the setup and its side file, or a
    // pair whose side file this updater kept.
    const bool keep = m_options.keepOthers;
    m_setupPath = setupPath;
    for (m_number = 0; m_number <= (keep ? MostNumberedNames : 0); ++m_number) {
        m_target = numberedName(setupPath, m_number);
        if (keep && files::identityAt(m_target)) {
            continue;
        }
        const fs::path part = partName(m_target);
        auto note = readResumeNote(resumeNotePath(part));
        if (note && resumable(*note, part)) {
            std::error_code error;
            m_resumedFrom = std::int32_t(fs::file_size(part, error));
            m_kept = std::move(note);
            return;
        }
        m_staleKept = note.has_value();
        if (!keep || m_staleKept || !files::identityAt(part)) {
            return;
        }
    }
    m_target.clear();
}

bool SetupDownload::open()
{
    request(m_kept ? std::optional(RangeRequest{m_resumedFrom, m_kept->validator}) : std::nullopt);
    if (!m_resource->isOpen()) {
        // Shorter now, or gone: a kept part that can never be continued is not kept.
        m_staleKept = m_staleKept || (m_kept && m_resource->result().httpStatus == 416);
        return !m_stopped && fail(Error::CannotOpen, "cannot fetch the setup file: " +
                                                         m_resource->result().describe());
    }
    return takeAnswer();
}

void SetupDownload::request(std::optional<RangeRequest> range)
{
    m_asked = std::move(range);
    m_resource.reset(); // the old connection goes before the new one is made
    m_resource = m_web.open(m_address, m_wait, m_asked);
}

bool SetupDownload::takeAnswer()
{
    const long status = m_resource->result().httpStatus;
    if (status == 206) {
        // Only the exact rest continues the file: no byte before it is ever written again.
        const std::string wanted = "bytes " + std::to_string(m_asked ? m_asked->from : 0) + "-" +
                                   std::to_string(m_total - 1) + "/" + std::to_string(m_total);
        const std::string &range = m_resource->headers().contentRange;
        if (!m_asked || range != wanted) {
            return fail(Error::CannotOpen, "the server sent another part of the setup file (" +
                                               escapedText(range) + ") than " + wanted);
        }
        return true;
    }
    if (m_asked && status != 200) {
        return fail(Error::CannotOpen,
                    "cannot fetch the rest of the setup file: " + m_resource->result().describe());
    }
    // The whole resource: what it is, for asking for its rest later. A weak ETag says only
    // that two files are alike, not that their bytes are the same.
    const ResponseHeaders &headers = m_resource->headers();
    m_validator =
        usableValidator(headers.etag.starts_with('"') ? headers.etag : headers.lastModified);
    return true;
}

bool SetupDownload::openSideFile()
{
    if (m_target.empty()) {
        return fail(Error::CannotCreate, "no free name for " + files::displayText(m_setupPath));
    }
    const fs::path part = partName(m_target);
    if (m_staleKept || (m_kept && m_resource->result().httpStatus != 206)) {
        // Kept for another offer, or the server sent the file whole: it starts afresh.
        files::removeFile(resumeNotePath(part));
        files::removeFile(part);
        m_kept.reset();
        m_resumedFrom = 0;
    }
    if (!m_kept) {
        return createSideFile();
    }
    if (m_expected) {
        m_signedHash.emplace(SideFile::BlockSize);
    }
    m_file.emplace(part, m_signedHash ? &*m_signedHash : nullptr);
    if (!m_file->resume(m_kept->identity, m_resumedFrom)) {
        m_keepNothing = true;
        return fail(Error::CannotCreate, "cannot continue " + m_file->failure().text);
    }
    m_received = m_largest = m_resumedFrom;
    m_validator = m_kept->validator;
    logMessage(LogKind::Notice, "continuing " + files::displayText(part) + " from byte " +
                                    std::to_string(m_resumedFrom) + " (validator " +
                                    escapedText(m_validator) + ")");
    return true;
}

bool SetupDownload::spareProgram(const fs::path &target)
{
    if (m_options.program && files::identityAt(target) == *m_options.program) {
        return fail(Error::NamesProgram,
                    files::displayText(target) + " is the updater itself; it is not replaced");
    }
    return true;
}

bool SetupDownload::createSideFile()
{
    if (m_expected) {
        m_signedHash.emplace(SideFile::BlockSize);
    }
    BackgroundDigest *const digest = m_signedHash ? &*m_signedHash : nullptr;
    const bool keep = m_options.keepOthers;
    for (; m_number <= (keep ? MostNumberedNames : 0); ++m_number) {
        m_target = numberedName(m_setupPath, m_number);
        if (keep && files::identityAt(m_target)) {
            continue;
        }
        m_file.emplace(partName(m_target), digest);
        if (m_file->create(keep ? SideFile::KeepOthers : SideFile::Replace)) {
            noteKept();
            return true;
        }
        // Taken meanwhile, or at a name the system reports otherwise (a directory there).
        const bool taken = m_file->failure().fault == Fault::NameTaken ||
                           files::identityAt(m_file->path()).has_value();
        if (!keep || !taken) {
            return fail(Error::CannotCreate, "cannot create " + m_file->failure().text);
        }
    }
    m_file.reset();
    return fail(Error::CannotCreate, "no free name for " + files::displayText(m_setupPath));
}

void SetupDownload::noteKept()
{
    // Without a validator or a digest nothing could ever prove a kept part's rest to be its
    // own: no note, and the part is fetched again.
    const fs::path note = resumeNotePath(m_file->path());
    if (!m_expected && m_validator.empty()) {
        files::removeFile(note);
        return;
    }
    const Status written =
        writeResumeNote(note, {m_address, m_total, m_validator, m_expected, m_file->identity()});
    if (!written) {
        logMessage(LogKind::Notice, "the setup file cannot be continued later: " + written.text());
    }
}

void SetupDownload::keepOrDrop(bool done)
{
    if (!m_file) {
        if (m_staleKept && !m_target.empty()) {
            files::removeFile(resumeNotePath(partName(m_target)));
            files::removeFile(partName(m_target));
        }
        return;
    }
    // What arrived stays in the side file, its note beside it; a transfer that ended early
    // needs no digest.
    m_file->finish();
    const fs::path note = resumeNotePath(m_file->path());
    // Complete, nothing is left to continue; bytes that proved wrong are not continued either.
    // Another program's file at the side file's name stays as it is, without our note.
    const bool wrong = m_keepNothing || m_error == Error::TooLong || m_error == Error::NotSigned ||
                       m_error == Error::SideFileReplaced;
    if (done || wrong) {
        files::removeFile(note);
    }
    if (wrong && m_error != Error::SideFileReplaced && !m_keepNothing) {
        files::removeFile(m_file->path());
    }
}

bool SetupDownload::take(std::size_t size)
{
    // A chunk is read straight into the block the side file writes from: no copy of its own.
    const std::span<std::byte> piece = m_file->space(size);
    const std::size_t count = m_resource->read(piece);
    // The chunk's time is when it arrived, before it is hashed or written.
    m_now = m_clock.milliseconds();
    m_received += std::int32_t(count);
    m_fetched += std::int32_t(count);
    // Only what arrived is written (and, keyed, hashed once written).
    m_writeFailed = m_writeFailed || !m_file->commit(count);
    return !m_writeFailed && count == size;
}

bool SetupDownload::copy()
{
    m_start = m_clock.milliseconds();
    m_now = m_start;
    tell(Event::Started);

    // Whole chunks of the file, then the piece after them; a reconnect goes on inside the
    // chunk it broke in, and a file sent again from its first byte starts them over.
    const std::int32_t wholeChunks = m_total / ChunkSize * ChunkSize;
    bool timed = false;
    while (m_received < m_total && !m_writeFailed) {
        const bool inChunk = m_received < wholeChunks;
        const std::int32_t end = inChunk ? (m_received / ChunkSize + 1) * ChunkSize : m_total;
        const bool intact = take(std::size_t(end - m_received));
        if (inChunk && m_received == end) {
            m_seconds = elapsedSeconds(m_now - m_start);
            timed = true;
            if (!tell(Event::Chunk) || m_resource->result().abandoned) {
                m_stopped = true;
                return false;
            }
        }
        if (!intact && !m_writeFailed && !reconnect()) {
            break;
        }
    }
    if (!timed) {
        // No whole chunk was timed; time the piece, so the speed is a number.
        m_seconds = elapsedSeconds(m_now - m_start);
    }
    tell(Event::LastPiece);
    if (m_stopped || m_resource->result().abandoned) {
        m_stopped = true;
        return false;
    }
    if (m_writeFailed) {
        return fail(Error::CannotWrite, m_file->failure().text);
    }
    if (m_error != Error::None) {
        return false; // a reconnect's answer was refused
    }
    if (m_received < m_total) {
        const TransferResult &result = m_resource->result();
        const std::string why = result.completed() ? "the server ended it" : result.describe();
        return fail(Error::CutShort, "the setup file stopped after " + std::to_string(m_received) +
                                         " of " + std::to_string(m_total) + " bytes (" + why +
                                         "), after " + std::to_string(m_reconnects) +
                                         " reconnects");
    }
    return true;
}

bool SetupDownload::pause(std::chrono::milliseconds length)
{
    // The window keeps its turns, and a cancel or a close ends the wait at once.
    using Steady = std::chrono::steady_clock;
    const auto until = Steady::now() + length;
    for (auto now = Steady::now(); now < until; now = Steady::now()) {
        if (!m_wait()) {
            return false;
        }
        std::this_thread::sleep_for(
            std::min<Steady::duration>(std::chrono::milliseconds(4), until - now));
    }
    return true;
}

bool SetupDownload::reconnect()
{
    for (;;) {
        if (m_resource->result().abandoned) {
            m_stopped = true;
            return false;
        }
        if (m_received > m_largest) {
            m_largest = m_received;
            m_stalledReconnects = 0;
        }
        if (m_reconnects == MostReconnects || m_stalledReconnects == MostStalledReconnects) {
            return false;
        }
        ++m_reconnects;
        ++m_stalledReconnects;
        const std::string why = m_resource->result().completed() ? "the server ended it early"
                                                                 : m_resource->result().describe();
        if (!tell(Event::Reconnecting) ||
            !pause(m_options.reconnectPause * (1 << (m_stalledReconnects - 1)))) {
            m_stopped = true;
            return false;
        }
        // The rest only where the validator, or keyed the whole file's digest, can tell that it
        // belongs to what came before; otherwise all of it again.
        std::optional<RangeRequest> range;
        if (m_received > 0 && (m_expected || !m_validator.empty())) {
            range = RangeRequest{m_received, m_validator};
        }
        logMessage(LogKind::Notice, "the setup file's transfer broke at byte " +
                                        std::to_string(m_received) + " (" + why + "); reconnect " +
                                        std::to_string(m_reconnects) + ", " +
                                        (range ? "from byte " + std::to_string(m_received) +
                                                     " (validator " + escapedText(m_validator) + ")"
                                               : std::string("from the first byte")));
        request(range);
        if (m_stopped || m_resource->result().abandoned) {
            m_stopped = true;
            return false;
        }
        if (!m_resource->isOpen() && m_resource->result().httpStatus == 0) {
            continue; // no answer at all: another try, within the same bounds
        }
        if (!m_resource->isOpen()) {
            return fail(Error::CannotOpen, "cannot fetch the rest of the setup file: " +
                                               m_resource->result().describe());
        }
        if (!takeAnswer()) {
            return false;
        }
        return m_resource->result().httpStatus == 206 || m_received == 0 || startOver();
    }
}

bool SetupDownload::startOver()
{
    // Sent whole again: it replaces what came before, as one transfer.
    logMessage(LogKind::Notice, "the server sent the setup file from its first byte again; it "
                                "starts over (validator " +
                                    escapedText(m_validator) + ")");
    m_received = 0;
    if (m_expected) {
        m_signedHash.reset();
        m_signedHash.emplace(SideFile::BlockSize);
    }
    if (!m_file->restart(m_signedHash ? &*m_signedHash : nullptr)) {
        m_writeFailed = true;
        return false;
    }
    noteKept();
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
