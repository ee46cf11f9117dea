#pragma once

#include "os/clock.h"
#include "os/failure.h"
#include "update/webclient.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

// One resource of a known size, fetched from a byte on, and asked again for its rest where the
// connection breaks. It knows the HTTP answers and their rules, never a file: what it reads goes
// into the caller's span.
//
// The rest is asked for with Range and If-Range, and only the exact rest (a 206 for precisely
// the bytes asked) continues what came before; a 200 brings the whole resource again from its
// first byte. A reconnect is made a bounded number of times, and a server that brings the file
// no further is given up on sooner.
class RangeFetch {
public:
    // At most this many reconnects in one transfer, and this many in a row that bring the file
    // no further than it already was.
    static constexpr int MostReconnects = 10;
    static constexpr int MostStalledReconnects = 5;

    struct Settings {
        std::string address; // as it goes on the wire
        std::int64_t total = 0;
        // Keyed, the whole file's digest decides at the end whether a rest belongs to what came
        // before, so the rest is asked for even where the server names no validator.
        bool keyed = false;
        // A reconnect after a connection that brought new bytes is made at once. One after a
        // connection that brought nothing waits this long first, and each further one in a
        // row twice as long.
        std::chrono::milliseconds pause{500};
    };

    // What an answer brings: the rest from the byte asked, or the whole resource from byte 0.
    enum class Answer { Rest, Whole };

    // wait is called while a request or read waits, and during a pause, which passes on
    // clock: false ends the wait, and the transfer as cancelled.
    RangeFetch(const WebClient &web, Clock &clock, Settings settings, WaitHook wait);

    // The first request: the whole resource, or, with a kept part, its rest from byte `from`
    // while the resource is still the one validator names.
    Result<Answer> open(std::int64_t from = 0, const std::string &validator = {});
    // Fills buffer from its start; fewer bytes than its size only where the answer broke,
    // ended, or was abandoned.
    std::size_t read(std::span<std::byte> buffer) { return m_resource->read(buffer); }
    // After a short read that left the file at byte `at`: a request for the rest, after a pause
    // where the reconnect before it brought nothing. before is told ahead of each try; false
    // from it cancels. Fails as CutShort once the bounds are reached.
    Result<Answer> reconnect(std::int64_t at, const std::function<bool()> &before);
    // Whether the resource ends exactly at its total, as the last byte of it arrived.
    Status awaitEnd();
    // Whoever waited gave up: the transfer is cancelled.
    bool abandoned() const { return m_resource->result().abandoned; }
    // The connection goes; nothing more is read.
    void close() { m_resource.reset(); }

    const TransferResult &result() const { return m_resource->result(); }
    // What the whole resource is, for asking for its rest later: a strong ETag or a
    // Last-Modified date; empty when the server named neither.
    const std::string &validator() const { return m_validator; }
    int reconnects() const { return m_reconnects; }

private:
    void request(std::optional<RangeRequest> range);
    Result<Answer> answer();
    // A 206 of the resource the request named: with If-Range, only one that names the same
    // validator; a cache or server that gets If-Range wrong sends another file's bytes.
    bool sameResource() const;
    Status pause(std::chrono::milliseconds length);
    Failure cancelled() const;

    const WebClient &m_web;
    Clock &m_clock;
    const Settings m_settings;
    const WaitHook m_wait;
    std::optional<WebResource> m_resource;
    std::optional<RangeRequest> m_asked; // what the current answer answers
    std::string m_validator;
    int m_reconnects = 0;
    int m_stalledReconnects = 0; // in a row, since the file last came further
    int m_emptyConnections = 0;  // in a row that brought no new byte
    std::int64_t m_largest = 0;  // the furthest the file has been in this transfer
};
