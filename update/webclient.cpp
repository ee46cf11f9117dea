#include "update/webclient.h"

#include "update/setupname.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

struct CurlEasyDeleter {
    void operator()(CURL *handle) const noexcept { curl_easy_cleanup(handle); }
};
struct CurlMultiDeleter {
    void operator()(CURLM *handle) const noexcept { curl_multi_cleanup(handle); }
};
struct CurlListDeleter {
    void operator()(curl_slist *list) const noexcept { curl_slist_free_all(list); }
};

using Clock = std::chrono::steady_clock;

// Bytes held between the network and the reader. Past this the transfer is paused until the
// reader catches up, so memory stays bounded whatever the resource's size.
constexpr std::size_t PauseAt = 64 * 1024;
constexpr int PollSliceMs = 1000;

void initialiseCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

std::string TransferResult::describe() const
{
    if (stalled) {
        return "no data arrived for too long";
    }
    if (transportError != 0) {
        return curl_easy_strerror(CURLcode(transportError));
    }
    if (httpStatus != 0 && !statusOk()) {
        return "the server answered with status " + std::to_string(httpStatus);
    }
    return finished ? "complete" : "in progress";
}

struct WebResource::Transfer {
    std::unique_ptr<CURLM, CurlMultiDeleter> multi;
    std::unique_ptr<CURL, CurlEasyDeleter> easy;
    std::unique_ptr<curl_slist, CurlListDeleter> headers;
    std::vector<std::byte> pending; // received, not yet read
    std::size_t readFrom = 0;
    bool paused = false;
    bool headersDone = false;
    bool open = false;
    TransferResult result;
    std::chrono::milliseconds stallTimeout{};

    ~Transfer()
    {
        if (multi && easy) {
            curl_multi_remove_handle(multi.get(), easy.get());
        }
        easy.reset();
        multi.reset();
    }

    std::size_t available() const { return pending.size() - readFrom; }

    static std::size_t onBody(char *data, std::size_t size, std::size_t count, void *self)
    {
        auto *transfer = static_cast<Transfer *>(self);
        if (transfer->available() >= PauseAt) {
            transfer->paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        const auto *bytes = reinterpret_cast<const std::byte *>(data);
        transfer->pending.insert(transfer->pending.end(), bytes, bytes + size * count);
        transfer->headersDone = true;
        return size * count;
    }

    static std::size_t onHeader(char *data, std::size_t size, std::size_t count, void *self)
    {
        auto *transfer = static_cast<Transfer *>(self);
        const std::size_t length = size * count;
        const bool blankLine = (length == 2 && data[0] == '\r') || (length == 1 && data[0] == '\n');
        if (blankLine) {
            long status = 0;
            curl_easy_getinfo(transfer->easy.get(), CURLINFO_RESPONSE_CODE, &status);
            // Interim (1xx) and redirect (3xx) responses are followed by another block.
            if (status / 100 != 1 && status / 100 != 3) {
                transfer->headersDone = true;
            }
        }
        return length;
    }

    // Moves the transfer on, waiting at most a slice for the network; false once it has ended.
    bool advance()
    {
        if (result.finished) {
            return false;
        }
        if (paused) {
            paused = false;
            curl_easy_pause(easy.get(), CURLPAUSE_CONT); // may deliver held data at once
            return true;
        }
        const std::size_t before = available();
        const bool headersBefore = headersDone;
        const auto waitingSince = Clock::now();
        for (;;) {
            int running = 0;
            curl_multi_perform(multi.get(), &running);
            int queued = 0;
            while (CURLMsg *message = curl_multi_info_read(multi.get(), &queued)) {
                if (message->msg == CURLMSG_DONE) {
                    finish(message->data.result);
                }
            }
            if (result.finished || available() != before || paused || headersDone != headersBefore) {
                return !result.finished;
            }
            const auto waited = Clock::now() - waitingSince;
            if (waited >= stallTimeout) {
                result.stalled = true;
                finish(CURLE_OK);
                return false;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                stallTimeout - waited);
            curl_multi_poll(multi.get(), nullptr, 0,
                            int(std::clamp<std::int64_t>(left.count(), 1, PollSliceMs)), nullptr);
        }
    }

    void finish(CURLcode code)
    {
        result.finished = true;
        result.transportError = code;
        curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &result.httpStatus);
    }
};

WebClient::WebClient() : WebClient(Timeouts{}) {}

WebClient::WebClient(Timeouts timeouts) : m_timeouts(timeouts)
{
    initialiseCurlOnce();
}

WebResource WebClient::open(std::string_view address) const
{
    auto transfer = std::make_unique<WebResource::Transfer>();
    transfer->stallTimeout = m_timeouts.stall;
    // Trailing spaces are padding, never part of the address.
    while (!address.empty() && address.back() == ' ') {
        address.remove_suffix(1);
    }
    if (!isWebAddress(address)) {
        transfer->result.finished = true;
        transfer->result.transportError = CURLE_UNSUPPORTED_PROTOCOL;
        return WebResource(std::move(transfer));
    }

    transfer->easy.reset(curl_easy_init());
    transfer->multi.reset(curl_multi_init());
    CURL *easy = transfer->easy.get();
    const std::string url(address);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, AgentName.data());
    curl_easy_setopt(easy, CURLOPT_PROXY, ""); // not even one named in the environment
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(m_timeouts.connect.count()));
    // Pausing a transfer is only dependable over HTTP/1.1 with this libcurl.
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_slist *headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
    headers = curl_slist_append(headers, "Pragma: no-cache");
    transfer->headers.reset(headers);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &WebResource::Transfer::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &WebResource::Transfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
    curl_multi_add_handle(transfer->multi.get(), easy);

    while (!transfer->headersDone && transfer->advance()) {
    }
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    transfer->result.httpStatus = status;
    // A failure after a good status belongs to the reads: the body so far is still there.
    transfer->open = transfer->headersDone && transfer->result.statusOk();
    return WebResource(std::move(transfer));
}

WebResource::WebResource(std::unique_ptr<Transfer> transfer) : m_transfer(std::move(transfer)) {}
WebResource::WebResource(WebResource &&) noexcept = default;
WebResource &WebResource::operator=(WebResource &&) noexcept = default;
WebResource::~WebResource() = default;

bool WebResource::isOpen() const
{
    return m_transfer && m_transfer->open;
}

std::size_t WebResource::read(std::span<std::byte> buffer)
{
    if (!isOpen()) {
        return 0;
    }
    Transfer &transfer = *m_transfer;
    std::size_t filled = 0;
    for (;;) {
        const std::size_t take = std::min(transfer.available(), buffer.size() - filled);
        if (take > 0) {
            std::memcpy(buffer.data() + filled, transfer.pending.data() + transfer.readFrom, take);
            transfer.readFrom += take;
            filled += take;
        }
        if (transfer.available() == 0) {
            transfer.pending.clear();
            transfer.readFrom = 0;
        }
        if (filled == buffer.size() || !transfer.advance()) {
            // Whatever arrived with the end of the transfer is still to be handed out.
            if (filled < buffer.size() && transfer.available() > 0) {
                continue;
            }
            return filled;
        }
    }
}

const TransferResult &WebResource::result() const
{
    static const TransferResult closed{};
    return m_transfer ? m_transfer->result : closed;
}

std::optional<std::int64_t> WebResource::announcedSize() const
{
    if (!isOpen()) {
        return std::nullopt;
    }
    curl_off_t length = -1;
    curl_easy_getinfo(m_transfer->easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    return length < 0 ? std::nullopt : std::optional<std::int64_t>(length);
}

void WebResource::close()
{
    m_transfer.reset();
}
