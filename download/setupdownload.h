#pragma once

#include "download/rangefetch.h"
#include "download/verifiedfile.h"
#include "os/clock.h"
#include "os/failure.h"
#include "update/updatecheck.h"
#include "update/webclient.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct SetupDownloadOptions {
    // In a folder of the user's, no file is replaced, whoever wrote it: the setup takes the
    // first free name of the form browsers use, "KolupSetup (1).exe". In the program's own
    // folder an older file of the setup's name is replaced.
    bool keepOthers = false;
    // The running updater: never replaced, whatever name reaches it. Checked before the
    // transfer and before the rename.
    std::optional<files::Identity> program;
    // The first pause before a request for the rest of a broken transfer; each further one in
    // a row that brought nothing new waits twice as long.
    std::chrono::milliseconds reconnectPause{500};
};

// One transfer of a record's setup file to a path, in 1024-byte chunks. The file grows beside
// its path and takes the path's name only once exactly the announced size has arrived and the
// resource has ended cleanly, so nothing incomplete ever stands under the setup's name.
//
// A broken connection is asked for the rest (RangeFetch), a bounded number of times. A transfer
// that ends early keeps its side file with a note beside it (KeptPart), and the next transfer
// of the same offer continues it; what is verified at the end is always the whole file.
class SetupDownload {
public:
    enum class Event {
        Started,      // the server answered; chunks follow
        Chunk,        // a whole chunk arrived (or the resource ended inside it)
        LastPiece,    // every byte arrived: the piece after the whole chunks too
        Waiting,      // a read is waiting for the network, or a pause before a reconnect
        Reconnecting, // the connection broke: a pause, then a request for the rest
    };
    enum class Outcome { Completed, Cancelled, Failed };
    // Told of every event. After a chunk, while waiting and before a reconnect it answers
    // whether to go on: false stops the transfer as cancelled. After Started and LastPiece the
    // answer is not used.
    using Listener = std::function<bool(Event, const SetupDownload &)>;

    using Options = SetupDownloadOptions;
    static constexpr int MostReconnects = RangeFetch::MostReconnects;
    static constexpr int MostStalledReconnects = RangeFetch::MostStalledReconnects;

    SetupDownload(const WebClient &web, Clock &clock, Listener listener, Options options = {});

    // The offer's setup file to its setup path; verified() says where it went. Keyed, only a
    // file with the BLAKE2b-512 digest the offer's signature names is kept: it is taken on a
    // thread of its own as the bytes arrive, and checked before the file takes the setup's name.
    Outcome run(const Offer &offer);

    // Bytes of the file so far, a kept part included.
    std::int32_t received() const { return std::int32_t(m_progress.received); }
    // Bytes this transfer fetched, whatever became of them: the speed's.
    std::int64_t fetched() const { return m_progress.fetched; }
    // The kept part this transfer continued; 0 when it began at the first byte.
    std::int32_t resumedFrom() const { return std::int32_t(m_progress.resumedFrom); }
    std::int32_t total() const { return std::int32_t(m_progress.total); }
    // Since the transfer began, as measured after the latest whole chunk; 0 until then.
    float seconds() const { return m_progress.seconds; }
    // The clock's reading at the latest chunk.
    std::int64_t now() const { return m_progress.now; }
    const std::optional<VerifiedFile> &verified() const { return m_verified; }
    // Why the transfer did not complete: Cancelled when it was stopped.
    const std::optional<Failure> &failure() const { return m_failure; }

private:
    // The steps of one transfer, in order; each says which comes next.
    enum class Step {
        ChooseName, // the setup's name, and what an earlier transfer kept under it
        Request,    // the first request, and the side file to write the answer to
        Copy,       // the chunks, reconnecting where the connection breaks
        AwaitEnd,   // the resource ends exactly at its size
        Verify,     // the side file is whole, keyed with the digest the maker signed
        Place,      // the complete file takes the setup's name
        Done,
    };
    struct Transfer;
    struct Move;

    Move chooseName(Transfer &transfer);
    Move request(Transfer &transfer);
    Move copy(Transfer &transfer);
    Move awaitEnd(Transfer &transfer);
    Move verify(Transfer &transfer);
    Move place(Transfer &transfer);
    Move perform(Step step, Transfer &transfer);

    bool tell(Event event) { return m_listener(event, *this); }

    const WebClient m_web; // a copy: two time limits, no connection
    Clock &m_clock;
    Listener m_listener;
    const Options m_options;

    // What the listener reads, made afresh at each run.
    struct Progress {
        std::int64_t received = 0;
        std::int64_t fetched = 0;
        std::int64_t resumedFrom = 0;
        std::int64_t total = 0;
        std::int64_t start = 0;
        std::int64_t now = 0;
        float seconds = 0;
    };
    Progress m_progress;
    std::optional<VerifiedFile> m_verified;
    std::optional<Failure> m_failure;
};
