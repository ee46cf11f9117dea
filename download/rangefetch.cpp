#include "download/rangefetch.h"

#include "download/resumenote.h"
#include "update/log.h"
#include "update/updateinfo.h"

RangeFetch::RangeFetch(const WebClient &web, Clock &clock, Settings settings, WaitHook wait)
    : m_web(web), m_clock(clock), m_settings(std::move(settings)), m_wait(std::move(wait))
{
}

Failure RangeFetch::cancelled() const
{
    return {Fault::Cancelled, "cancelled while the setup file was on its way"};
}

void RangeFetch::request(std::optional<RangeRequest> range)
{
    m_asked = std::move(range);
    m_resource.reset(); // the old connection goes before the new one is made
    m_resource = m_web.open(m_settings.address, m_wait, m_asked);
}

Result<RangeFetch::Answer> RangeFetch::open(std::int64_t from, const std::string &validator)
{
    m_largest = from;
    request(from > 0 ? std::optional(RangeRequest{from, validator}) : std::nullopt);
    if (abandoned()) {
        return cancelled();
    }
    if (!m_resource->isOpen()) {
        return Failure{Fault::Unreachable,
                       "cannot fetch the setup file: " + m_resource->result().describe()};
    }
    auto answered = answer();
    if (answered && *answered == Answer::Rest) {
        m_validator = validator;
    }
    return answered;
}

Result<RangeFetch::Answer> RangeFetch::answer()
{
    const long status = m_resource->result().httpStatus;
    if (status == 206) {
        // Only the exact rest continues the file: no byte before it is ever written again.
        const std::int64_t total = m_settings.total;
        const std::string wanted = "bytes " + std::to_string(m_asked ? m_asked->from : 0) + "-" +
                                   std::to_string(total - 1) + "/" + std::to_string(total);
        const std::string &range = m_resource->headers().contentRange;
        if (!m_asked || range != wanted) {
            return Failure{Fault::Refused, "the server sent another part of the setup file (" +
                                               escapedText(range) + ") than " + wanted};
        }
        if (sameResource()) {
            return Answer::Rest;
        }
        // The rest of another file: none of it is taken, and the whole file is asked for.
        logMessage(LogKind::Notice, "the server sent the rest of another version of the setup "
                                    "file (ETag " +
                                        escapedText(m_resource->headers().etag) + ", asked " +
                                        escapedText(m_asked->ifRange) + "); all of it again");
        request(std::nullopt);
        if (abandoned()) {
            return cancelled();
        }
        if (!m_resource->isOpen()) {
            return Failure{Fault::Unreachable,
                           "cannot fetch the setup file: " + m_resource->result().describe()};
        }
        return answer();
    }
    if (m_asked && status != 200) {
        return Failure{Fault::Unreachable, "cannot fetch the rest of the setup file: " +
                                               m_resource->result().describe()};
    }
    // The whole resource: what it is, for asking for its rest later. A weak ETag says only
    // that two files are alike, not that their bytes are the same.
    const ResponseHeaders &headers = m_resource->headers();
    m_validator =
        usableValidator(headers.etag.starts_with('"') ? headers.etag : headers.lastModified);
    return Answer::Whole;
}

bool RangeFetch::sameResource() const
{
    const std::string &sent = m_asked->ifRange;
    if (sent.empty()) {
        return true; // keyed, without a validator: the whole file's digest decides
    }
    const ResponseHeaders &headers = m_resource->headers();
    return sent.starts_with('"') ? headers.etag == sent : headers.lastModified == sent;
}

Status RangeFetch::pause(std::chrono::milliseconds length)
{
    // The window keeps its turns during the pause, and a cancel or a close ends it at once.
    const std::int64_t until = m_clock.milliseconds() + length.count();
    for (std::int64_t now = m_clock.milliseconds(); now < until; now = m_clock.milliseconds()) {
        if (!m_wait()) {
            return cancelled();
        }
        m_clock.sleep(std::chrono::milliseconds(std::min<std::int64_t>(4, until - now)));
    }
    return Success{};
}

Result<RangeFetch::Answer> RangeFetch::reconnect(std::int64_t at,
                                                 const std::function<bool()> &before)
{
    for (;;) {
        if (abandoned()) {
            return cancelled();
        }
        const bool brought = at > m_largest;
        if (brought) {
            m_largest = at;
            m_stalledReconnects = 0;
        }
        m_emptyConnections = brought ? 0 : m_emptyConnections + 1;
        const TransferResult &broken = m_resource->result();
        const std::string why = broken.completed() ? "the server ended it" : broken.describe();
        if (m_reconnects == MostReconnects || m_stalledReconnects == MostStalledReconnects) {
            return Failure{Fault::CutShort, "the setup file stopped after " + std::to_string(at) +
                                                " of " + std::to_string(m_settings.total) +
                                                " bytes (" + why + "), after " +
                                                std::to_string(m_reconnects) + " reconnects"};
        }
        ++m_reconnects;
        ++m_stalledReconnects;
        if (!before()) {
            return cancelled();
        }
        // A connection that brought bytes broke by chance: it is made again at once. One that
        // brought nothing may meet a server still starting: it is given time, more each time.
        if (m_emptyConnections > 0) {
            if (Status paused = pause(m_settings.pause * (1 << (m_emptyConnections - 1)));
                !paused) {
                return paused.failure();
            }
        }
        // The rest only where the validator, or keyed the whole file's digest, can tell that it
        // belongs to what came before; otherwise all of it again.
        std::optional<RangeRequest> range;
        if (at > 0 && (m_settings.keyed || !m_validator.empty())) {
            range = RangeRequest{at, m_validator};
        }
        logMessage(LogKind::Notice, "the setup file's transfer broke at byte " +
                                        std::to_string(at) + " (" + why + "); reconnect " +
                                        std::to_string(m_reconnects) + ", " +
                                        (range ? "from byte " + std::to_string(at) +
                                                     " (validator " + escapedText(m_validator) + ")"
                                               : std::string("from the first byte")));
        request(range);
        if (abandoned()) {
            return cancelled();
        }
        if (!m_resource->isOpen() && m_resource->result().httpStatus == 0) {
            continue; // no answer at all: another try, within the same bounds
        }
        if (!m_resource->isOpen()) {
            return Failure{Fault::Unreachable, "cannot fetch the rest of the setup file: " +
                                                   m_resource->result().describe()};
        }
        auto answered = answer();
        if (answered && *answered == Answer::Whole && at > 0) {
            logMessage(LogKind::Notice, "the server sent the setup file from its first byte "
                                        "again; it starts over (validator " +
                                            escapedText(m_validator) + ")");
        }
        return answered;
    }
}

Status RangeFetch::awaitEnd()
{
    // The resource must end exactly here: more bytes, or a broken end, mean another file. The
    // wait for the end answers a cancel like any other wait.
    std::byte extra{};
    const bool more = m_resource->read(std::span(&extra, 1)) > 0;
    const TransferResult &result = m_resource->result();
    const std::string total = std::to_string(m_settings.total);
    if (result.abandoned) {
        return Failure{Fault::Cancelled, "cancelled while the server had not ended the setup file"};
    }
    if (more) {
        return Failure{Fault::TooLong,
                       "the server sent more than the " + total + " bytes announced"};
    }
    if (result.stalled) {
        return Failure{Fault::NoEnd,
                       "the server sent all " + total + " bytes but never ended the setup file"};
    }
    if (!result.completed()) {
        return Failure{Fault::CutShort,
                       "the setup file's transfer failed at its end: " + result.describe()};
    }
    return Success{};
}
