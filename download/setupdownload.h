#pragma once

#include "download/clock.h"
#include "download/digest.h"
#include "update/signature.h"
#include "update/updateinfo.h"
#include "update/webclient.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// A file as a completed download left it. Only this file, unchanged, may be started.
struct VerifiedFile {
    QString path;
    Fingerprint fingerprint;            // of the bytes the download wrote
    std::optional<Signature> signature; // the maker's, in a keyed build

    // True while a regular file with exactly those bytes stands at path, and, with a key, its
    // signature still verifies.
    bool unchanged(const std::optional<PublicKey> &key) const;
};

// One transfer of a record's setup file to a path, in 1024-byte chunks. The file grows beside
// its path and takes the path's name only once exactly the announced size has arrived and the
// resource has ended cleanly, so nothing incomplete ever stands under the setup's name.
class SetupDownload {
public:
    enum class Event {
        Started,   // the server answered; chunks follow
        Chunk,     // a whole chunk arrived (or the resource ended inside it)
        LastPiece, // the piece after the whole chunks arrived
        Waiting,   // a read is waiting for the network
    };
    enum class Outcome { Completed, Cancelled, Failed };
    // Told of every event; after a chunk and while waiting, false stops the transfer as
    // cancelled. What it answers after Started and LastPiece is not used.
    using Listener = std::function<bool(Event, const SetupDownload &)>;

    // With a key, only a file the key's owner signed is kept: its signature is fetched first
    // and checked over the bytes as they arrive.
    SetupDownload(const WebClient &web, Clock &clock, Listener listener,
                  std::optional<PublicKey> key = std::nullopt);

    Outcome run(const UpdateInfo &info, const QString &setupPath);

    std::int32_t received() const { return m_received; }
    std::int32_t total() const { return m_total; }
    // Since the transfer began, as measured after the latest whole chunk; 0 until then.
    float seconds() const { return m_seconds; }
    // The clock's reading at the latest chunk.
    std::int64_t now() const { return m_now; }
    const std::optional<VerifiedFile> &verified() const { return m_verified; }
    // Why the transfer failed, for the log.
    const std::string &failure() const { return m_failure; }

private:
    Outcome fail(std::string why);
    bool tell(Event event) { return m_listener(event, *this); }

    const WebClient m_web; // a copy: two time limits, no connection
    Clock &m_clock;
    Listener m_listener;
    std::optional<PublicKey> m_key;
    std::int32_t m_received = 0;
    std::int32_t m_total = 0;
    float m_seconds = 0;
    std::int64_t m_now = 0;
    std::optional<VerifiedFile> m_verified;
    std::string m_failure;
};
