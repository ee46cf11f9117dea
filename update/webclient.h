#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Plain GETs from the maker's web host: direct (never through a proxy), never from a cache,
// always under the same agent name.
inline constexpr std::string_view AgentName = "API-Guide test program";

// How a transfer went, with the ways it can end kept apart: the server's status, a transport
// failure, the plain end of the resource, a server too slow to wait for, and our giving up.
struct TransferResult {
    int transportError = 0; // a CURLcode; 0 when the transport had no trouble
    int multiError = 0;     // a CURLMcode from driving the transfer; 0 when there was none
    long httpStatus = 0;    // 0 until a response arrived
    bool finished = false;  // the resource ended, or the transfer failed
    bool stalled = false;   // ended by us: a read waited longer than the no-data limit
    bool abandoned = false; // ended by us: whoever waited for it gave up
    // The option libcurl refused to take, when the request could not even be made as meant.
    const char *refusedOption = nullptr;

    bool statusOk() const { return httpStatus >= 200 && httpStatus <= 299; }
    bool completed() const
    {
        return finished && transportError == 0 && multiError == 0 && !stalled && !abandoned &&
               statusOk();
    }
    std::string describe() const;
};

// Called over and over while a call waits for the network, a few milliseconds apart; the call
// is abandoned when it returns false. It lets the caller's window stay responsive.
using WaitHook = std::function<bool()>;

class WebResource;

// The rest of a resource, from a byte on; with a validator from an earlier answer (its ETag or
// Last-Modified), only while the resource is still that one: If-Range makes the server answer
// with the whole resource (200) otherwise.
struct RangeRequest {
    std::int64_t from = 0;
    std::string ifRange;
};

// What the final answer's headers say about the resource, for asking for its rest later.
struct ResponseHeaders {
    std::string etag;
    std::string lastModified;
    std::string contentRange;
};

// The session: settings shared by every address opened through it.
class WebClient {
public:
    struct Timeouts {
        std::chrono::milliseconds connect{15'000};
        // The longest any one call waits for what it asked for, however it trickles in.
        std::chrono::milliseconds stall{30'000};
    };

    WebClient();
    explicit WebClient(Timeouts timeouts);

    // Sends the request and waits for the response's status. A resource that is not open is
    // the "zero handle": no connection, an address that is not http(s), a redirect elsewhere,
    // or a status other than 2xx, so that an error page can never be taken for the resource.
    WebResource open(std::string_view address, WaitHook wait = {},
                     const std::optional<RangeRequest> &range = std::nullopt) const;

private:
    Timeouts m_timeouts;
};

// One opened address. A read waits until the buffer is full, the resource has ended, or the
// no-data limit has passed since the read began.
class WebResource {
public:
    WebResource(WebResource &&) noexcept;
    WebResource &operator=(WebResource &&) noexcept;
    ~WebResource();

    bool isOpen() const;
    // Fills buffer from its start and returns how many bytes came; fewer than its size only
    // at the end of the resource or after a failure. The bytes past those are left as they were.
    std::size_t read(std::span<std::byte> buffer);
    const TransferResult &result() const;
    const ResponseHeaders &headers() const;
    void close();

private:
    friend class WebClient;
    struct Transfer;
    explicit WebResource(std::unique_ptr<Transfer> transfer);

    std::unique_ptr<Transfer> m_transfer;
};

bool isWebAddress(std::string_view address);

// The address as it goes on the wire: without its padding, and with the bytes a URL cannot
// carry as they are (spaces, quotes, bytes past ASCII) percent-encoded, as browsers send them.
std::string requestAddress(std::string_view address);
