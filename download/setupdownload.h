#pragma once

#include "download/backgrounddigest.h"
#include "os/clock.h"
#include "download/digest.h"
#include "download/resumenote.h"
#include "os/files.h"
#include "download/sidefile.h"
#include "update/signature.h"
#include "update/updatecheck.h"
#include "update/updateinfo.h"
#include "update/webclient.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

// A file as a completed download left it. Only this file, unchanged, may be started.
struct VerifiedFile {
    std::filesystem::path path;
    files::Identity identity; // the file the download created, whatever its name since
    std::int64_t size = 0;
    Fingerprint fingerprint;      // of the bytes the download wrote
    std::optional<Digest> digest; // keyed: the BLAKE2b-512 digest the maker's signature names

    // The very file the download wrote, open, while it stands at path with exactly those bytes
    // and, keyed, still has the digest the maker signed; a closed file otherwise. A file of
    // another size or identity is not read at all. Held open, it is the file that is started:
    // on Windows nobody can write, rename or delete it meanwhile.
    files::File openIfUnchanged() const;
};

struct SetupDownloadOptions {
    // In a folder of the user's, no file is replaced, whoever wrote it: the setup takes the
    // first free name of the form browsers use, "KolupSetup (1).exe". In the program's own
    // folder an older file of the setup's name is replaced.
    bool keepOthers = false;
    // The running updater: never replaced, whatever name reaches it (on Windows a short name,
    // or a trailing dot that Windows drops). Checked before the transfer and before the rename.
    std::optional<files::Identity> program;
    // The first pause before a request for the rest of a broken transfer; each further one in
    // a row that brought nothing new waits twice as long.
    std::chrono::milliseconds reconnectPause{500};
};

// One transfer of a record's setup file to a path, in 1024-byte chunks. The file grows beside
// its path and takes the path's name only once exactly the announced size has arrived and the
// resource has ended cleanly, so nothing incomplete ever stands under the setup's name.
//
// A broken connection is asked for the rest (Range, with If-Range and the first answer's
// validator), a bounded number of times. A transfer that ends early keeps its side file with a
// note beside it, and the next transfer of the same offer continues it; what is verified at the
// end is always the whole file.
class SetupDownload {
public:
    enum class Event {
        Started,      // the server answered; chunks follow
        Chunk,        // a whole chunk arrived (or the resource ended inside it)
        LastPiece,    // the piece after the whole chunks arrived
        Waiting,      // a read is waiting for the network, or a pause before a reconnect
        Reconnecting, // the connection broke: a pause, then a request for the rest
    };
    enum class Outcome { Completed, Cancelled, Failed };
    // Why a transfer failed; errorText() says it in words.
    enum class Error {
        None,
        CannotOpen,       // the server did not answer with the file
        CannotCreate,     // the side file could not be created
        CannotWrite,      // writing the side file failed (a full disk, say)
        CutShort,         // fewer bytes than announced, or the transfer broke
        TooLong,          // more bytes than announced
        NoEnd,            // every byte came, but the server never ended the resource
        NotSigned,        // keyed: the bytes are not the file the maker's signature names
        SideFileReplaced, // another program put its own file at the side file's name
        CannotReplace,    // the complete file could not take the setup's name, or any free name
        NamesProgram,     // the setup's name reaches the running updater itself
    };
    // Told of every event; after a chunk, while waiting and before a reconnect, false stops the
    // transfer as cancelled. What it answers after Started and LastPiece is not used.
    using Listener = std::function<bool(Event, const SetupDownload &)>;

    using Options = SetupDownloadOptions;

    SetupDownload(const WebClient &web, Clock &clock, Listener listener, Options options = {});

    // The offer's setup file to its setup path; verified() says where it went. Keyed, only a
    // file with the BLAKE2b-512 digest the offer's signature names is kept: it is taken on a
    // thread of its own as the bytes arrive, and checked before the file takes the setup's name.
    Outcome run(const Offer &offer);

    // At most this many reconnects in one transfer, and this many in a row that bring the file
    // no further than it already was.
    static constexpr int MostReconnects = 10;
    static constexpr int MostStalledReconnects = 5;

    // Bytes of the file so far, a kept part included.
    std::int32_t received() const { return m_received; }
    // Bytes this transfer fetched, whatever became of them: the speed's.
    std::int32_t fetched() const { return m_fetched; }
    // The kept part this transfer continued; 0 when it began at the first byte.
    std::int32_t resumedFrom() const { return m_resumedFrom; }
    std::int32_t total() const { return m_total; }
    // Since the transfer began, as measured after the latest whole chunk; 0 until then.
    float seconds() const { return m_seconds; }
    // The clock's reading at the latest chunk.
    std::int64_t now() const { return m_now; }
    const std::optional<VerifiedFile> &verified() const { return m_verified; }
    Error error() const { return m_error; }
    const std::string &errorText() const { return m_errorText; }

private:
    // The steps of a transfer; each returns false when the transfer ends there, stopped by the
    // listener or failed.
    bool resumable(const ResumeNote &note, const std::filesystem::path &part) const;
    void chooseSideFile(const std::filesystem::path &setupPath);
    bool open();
    void request(std::optional<RangeRequest> range);
    bool takeAnswer();
    bool openSideFile();
    bool createSideFile();
    bool copy();
    bool reconnect();
    bool pause(std::chrono::milliseconds length);
    bool startOver();
    void noteKept();
    void keepOrDrop(bool done);
    bool awaitEnd();
    bool finish();

    bool fail(Error error, std::string text);
    // False, failed, when target reaches the running updater.
    bool spareProgram(const std::filesystem::path &target);
    bool tell(Event event) { return m_listener(event, *this); }
    // Reads the next size bytes and keeps what came; false when fewer came than asked for.
    bool take(std::size_t size);

    const WebClient m_web; // a copy: two time limits, no connection
    Clock &m_clock;
    Listener m_listener;
    Options m_options;
    std::optional<Digest> m_expected; // keyed: the digest the offer's signature names
    WaitHook m_wait;
    bool m_stopped = false;

    std::optional<WebResource> m_resource;
    std::optional<BackgroundDigest> m_signedHash; // outlives the side file that feeds it
    std::string m_address;                        // as it was fetched
    std::optional<SideFile> m_file;
    std::filesystem::path m_setupPath;
    int m_number = 0;               // in a folder of the user's: "name (number).ext"
    std::filesystem::path m_target; // the name the complete file takes
    bool m_writeFailed = false;

    // What a kept part from an earlier transfer offers, chosen before the request.
    std::optional<ResumeNote> m_kept;    // matches this offer; its part is continued
    bool m_staleKept = false;            // a note of ours that does not: removed with its part
    std::string m_validator;             // for If-Range: the first answer's
    std::optional<RangeRequest> m_asked; // what the current answer answers: the rest from a byte
    int m_reconnects = 0;
    int m_stalledReconnects = 0;
    std::int32_t m_largest = 0; // the most the file has held in this transfer
    bool m_keepNothing = false; // the bytes themselves proved wrong

    std::int32_t m_received = 0;
    std::int32_t m_fetched = 0;
    std::int32_t m_resumedFrom = 0;
    std::int32_t m_total = 0;
    std::int64_t m_start = 0;
    float m_seconds = 0;
    std::int64_t m_now = 0;
    std::optional<VerifiedFile> m_verified;
    Error m_error = Error::None;
    std::string m_errorText;
};
