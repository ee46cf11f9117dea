#include "download/setupdownload.h"

#include "download/keptpart.h"
#include "download/progress.h"
#include "download/setupplacement.h"
#include "download/sidefile.h"
#include "update/log.h"

#include <array>
#include <string_view>

namespace fs = std::filesystem;

// Everything one run holds, made afresh at each: nothing of an earlier run can leak into it.
struct SetupDownload::Transfer {
    Transfer(SetupDownload &download, const Offer &offer)
        : setupPath(offer.setupPath), wanted{requestAddress(setupAddress(offer.record)),
                                             offer.record.SetupSize,
                                             offer.binding ? std::optional(offer.binding->digest)
                                                           : std::nullopt},
          placement(offer.setupPath, download.m_options.keepOthers, download.m_options.program),
          fetch(download.m_web, download.m_clock,
                {wanted.address, wanted.size, wanted.digest.has_value(),
                 download.m_options.reconnectPause},
                [this] { return wait(); }),
          file(wanted.digest.has_value()), m_download(download)
    {
    }

    // Every wait of the transfer: the listener's turn, and once told to stop, every later wait
    // stops too.
    bool wait()
    {
        stopped = stopped || !m_download.tell(Event::Waiting);
        return !stopped;
    }

    const fs::path setupPath;
    const KeptPart::Wanted wanted;
    SetupPlacement placement;
    RangeFetch fetch;
    SideFile file;
    std::optional<KeptPart> kept; // what stands at the chosen name's side file
    std::optional<Digest> digest; // keyed: the whole file's, once verified
    bool stopped = false;

private:
    SetupDownload &m_download;
};

// Where a step leads: the next step, or the end, with what becomes of the side file and its
// note, decided where the failure is seen.
struct SetupDownload::Move {
    Step next = Step::Done;
    std::optional<Failure> failure;
    KeptPart::Settle settle = KeptPart::Settle::Keep;

    static Move to(Step step) { return {step, std::nullopt}; }
    static Move end(Failure failure, KeptPart::Settle settle = KeptPart::Settle::Keep)
    {
        return {Step::Done, std::move(failure), settle};
    }
};

namespace {

using Settle = KeptPart::Settle;

constexpr std::array<std::string_view, 7> StepNames = {
    "choose a name", "request", "copy", "await the end", "verify", "place", "done"};

} // namespace

SetupDownload::SetupDownload(const WebClient &web, Clock &clock, Listener listener, Options options)
    : m_web(web), m_clock(clock), m_listener(std::move(listener)), m_options(std::move(options))
{
}

SetupDownload::Outcome SetupDownload::run(const Offer &offer)
{
    m_progress = {.total = offer.record.SetupSize};
    m_verified.reset();
    m_failure.reset();
    Transfer transfer(*this, offer);

    Move move = Move::to(Step::ChooseName);
    while (!move.failure && move.next != Step::Done) {
        const Step step = move.next;
        move = perform(step, transfer);
        logMessage(LogKind::Notice, "setup download: " + std::string(StepNames[int(step)]) +
                                        " -> " +
                                        (move.failure ? "ended: " + move.failure->text
                                                      : std::string(StepNames[int(move.next)])));
    }
    // The connection and the file are closed before anything is removed: Windows removes no
    // open file.
    transfer.fetch.close();
    transfer.file.finish();
    if (transfer.kept) {
        // Complete, the side file has become the setup: only its note is left to go.
        transfer.kept->settle(move.failure ? move.settle : Settle::Disown);
    }
    m_failure = std::move(move.failure);
    if (!m_failure) {
        return Outcome::Completed;
    }
    return m_failure->fault == Fault::Cancelled ? Outcome::Cancelled : Outcome::Failed;
}

SetupDownload::Move SetupDownload::perform(Step step, Transfer &transfer)
{
    switch (step) {
    case Step::ChooseName:
        return chooseName(transfer);
    case Step::Request:
        return request(transfer);
    case Step::Copy:
        return copy(transfer);
    case Step::AwaitEnd:
        return awaitEnd(transfer);
    case Step::Verify:
        return verify(transfer);
    case Step::Place:
        return place(transfer);
    case Step::Done:
        break;
    }
    return Move::to(Step::Done);
}

SetupDownload::Move SetupDownload::chooseName(Transfer &transfer)
{
    if (Status spared = transfer.placement.spareProgram(transfer.setupPath); !spared) {
        return Move::end(spared.failure());
    }
    auto kept = transfer.placement.choose(transfer.wanted);
    if (!kept) {
        return Move::end(kept.failure());
    }
    transfer.kept = std::move(*kept);
    return Move::to(Step::Request);
}

SetupDownload::Move SetupDownload::request(Transfer &transfer)
{
    KeptPart &kept = *transfer.kept;
    const bool resumable = kept.found() == KeptPart::Found::Resumable;
    const auto answer =
        resumable ? transfer.fetch.open(kept.bytes(), kept.validator()) : transfer.fetch.open();
    if (!answer) {
        // Shorter now, or gone: a kept part that can never be continued is not kept.
        const bool gone = resumable && transfer.fetch.result().httpStatus == 416;
        const bool stale = kept.found() == KeptPart::Found::Stale;
        return Move::end(answer.failure(), stale || gone ? Settle::Drop : Settle::Keep);
    }
    if (resumable && *answer == RangeFetch::Answer::Rest) {
        if (!transfer.file.resume(kept.path(), kept.identity(), kept.bytes(),
                                  [&transfer] { return transfer.wait(); })) {
            // Cancelled, it stays kept; otherwise it is not the part we kept: its note goes,
            // and the file is not ours to touch.
            const Failure &why = transfer.file.failure();
            const bool cancelled = why.fault == Fault::Cancelled;
            return Move::end(Failure{why.fault, "cannot continue " + why.text},
                             cancelled ? Settle::Keep : Settle::Disown);
        }
        m_progress.received = m_progress.resumedFrom = kept.bytes();
        logMessage(LogKind::Notice, "continuing " + files::displayText(kept.path()) +
                                        " from byte " + std::to_string(kept.bytes()) +
                                        " (validator " + escapedText(kept.validator()) + ")");
        return Move::to(Step::Copy);
    }
    // Kept for another offer, or the server sent the file whole: it starts afresh.
    kept.settle(Settle::Drop);
    if (Status created = transfer.placement.createSideFile(transfer.file); !created) {
        return Move::end(created.failure());
    }
    transfer.kept = KeptPart::made(transfer.file.path());
    transfer.kept->record(transfer.wanted, transfer.fetch.validator(), transfer.file.identity());
    return Move::to(Step::Copy);
}

SetupDownload::Move SetupDownload::copy(Transfer &transfer)
{
    Progress &progress = m_progress;
    SideFile &file = transfer.file;
    RangeFetch &fetch = transfer.fetch;
    progress.start = progress.now = m_clock.milliseconds();
    tell(Event::Started);

    // Whole chunks of the file, then the piece after them; a reconnect goes on inside the
    // chunk it broke in, and a file sent again from its first byte starts them over.
    const Move cancelled = Move::end({Fault::Cancelled, "cancelled"});
    const std::int64_t wholeChunks = progress.total / ChunkSize * ChunkSize;
    bool timed = false;
    while (progress.received < progress.total) {
        const bool inChunk = progress.received < wholeChunks;
        const std::int64_t end =
            inChunk ? (progress.received / ChunkSize + 1) * ChunkSize : progress.total;
        const auto size = std::size_t(end - progress.received);
        // A chunk is read straight into the block the side file writes from: no copy of its own.
        const std::size_t count = fetch.read(file.space(size));
        // The chunk's time is when it arrived, before it is hashed or written.
        progress.now = m_clock.milliseconds();
        progress.received += std::int64_t(count);
        progress.fetched += std::int64_t(count);
        if (!file.commit(count)) {
            return Move::end(file.failure());
        }
        if (inChunk && progress.received == end) {
            progress.seconds = elapsedSeconds(progress.now - progress.start);
            timed = true;
            if (!tell(Event::Chunk) || fetch.abandoned()) {
                return cancelled;
            }
        }
        if (count == size) {
            continue;
        }
        const auto answer =
            fetch.reconnect(progress.received, [this] { return tell(Event::Reconnecting); });
        if (!answer) {
            return Move::end(answer.failure());
        }
        if (*answer == RangeFetch::Answer::Whole && progress.received > 0) {
            // Sent whole again: it replaces what came before, as one transfer.
            progress.received = 0;
            if (!file.restart()) {
                return Move::end(file.failure());
            }
            transfer.kept->record(transfer.wanted, fetch.validator(), file.identity());
        }
    }
    if (!timed) {
        // No whole chunk was timed; time the piece, so the speed is a number.
        progress.seconds = elapsedSeconds(progress.now - progress.start);
    }
    tell(Event::LastPiece);
    return fetch.abandoned() ? cancelled : Move::to(Step::AwaitEnd);
}

SetupDownload::Move SetupDownload::awaitEnd(Transfer &transfer)
{
    const Status ended = transfer.fetch.awaitEnd();
    if (!ended) {
        // More than announced is another file: none of it is kept.
        const bool wrong = ended.failure().fault == Fault::TooLong;
        return Move::end(ended.failure(), wrong ? Settle::Drop : Settle::Keep);
    }
    return Move::to(Step::Verify);
}

SetupDownload::Move SetupDownload::verify(Transfer &transfer)
{
    transfer.fetch.close();
    SideFile &file = transfer.file;
    if (!file.finish()) {
        // Another program's file at the side file's name stays as it is, without our note.
        const bool foreign = file.failure().fault == Fault::Replaced;
        return Move::end(file.failure(), foreign ? Settle::Disown : Settle::Keep);
    }
    if (transfer.wanted.digest) {
        transfer.digest = file.signedDigest();
        if (*transfer.digest != *transfer.wanted.digest) {
            // Not the file the maker's signature names: none of it is kept.
            return Move::end(Failure{Fault::NotSigned,
                                     "the setup file is refused: its BLAKE2b-512 digest is not "
                                     "the one the record's signature names"},
                             Settle::Drop);
        }
    }
    return Move::to(Step::Place);
}

SetupDownload::Move SetupDownload::place(Transfer &transfer)
{
    SideFile &file = transfer.file;
    if (const Status placed = transfer.placement.place(file.path()); !placed) {
        const bool program = placed.failure().fault == Fault::IsProgram;
        return Move::end(placed.failure(), program ? Settle::Drop : Settle::Keep);
    }
    const fs::path &target = transfer.placement.target();
    // Unsigned, it carries where it came from, for the system's own checks; a keyed build has
    // verified the maker's signature instead.
    if (!transfer.wanted.digest && !files::markFromInternet(target, transfer.wanted.address)) {
        logMessage(LogKind::Failure,
                   "cannot mark " + files::displayText(target) + " with the address it came from");
    }
    m_verified = VerifiedFile{target, file.identity(), m_progress.total, file.fingerprint(),
                              transfer.digest};
    return Move::to(Step::Done);
}
