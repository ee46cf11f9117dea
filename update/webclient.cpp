#include "update/webclient.h"

#include "update/updateinfo.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
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

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Bytes held between the network and the reader. Past this the transfer is paused until the
// reader catches up, so memory stays bounded whatever the resource's size. A megabyte, so
// that a fast link seldom pauses: each pause costs libcurl two more copies of what it holds.
constexpr std::size_t PauseAt = 1024 * 1024;
// libcurl's own receive buffer; larger than its default so that a fast link costs fewer calls.
constexpr long ReceiveBuffer = 100 * 1024;
// How long one wait for the network may sleep: without a hook, only the deadline matters;
// with one, the hook runs this often, so that a window answers within a few milliseconds.
constexpr milliseconds QuietSlice{1000};
constexpr milliseconds HookSlice{4};

void initialiseCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

std::string TransferResult::describe() const
{
    if (abandoned) {
        return "the transfer was abandoned";
    }
    if (stalled) {
        return "the server sent too little for too long";
    }
    if (multiError != 0) {
        return curl_multi_strerror(CURLMcode(multiError));
    }
    if (refusedOption != nullptr) {
        return std::string("libcurl refused ") + refusedOption + ": " +
               curl_easy_strerror(CURLcode(transportError));
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
    ResponseHeaders response;
    milliseconds stallTimeout{};
    WaitHook wait;
    Steady::time_point lastWait{}; // when the waiter last had its turn

    ~Transfer()
    {
        if (multi && easy) {
            // Nothing is left to do about a failure here: both handles go next either way.
            (void)curl_multi_remove_handle(multi.get(), easy.get());
        }
        easy.reset();
        multi.reset();
    }

    std::size_t available() const { return pending.size() - readFrom; }

    // Moves what has arrived into target; returns how much.
    std::size_t take(std::span<std::byte> target)
    {
        const std::size_t count = std::min(available(), target.size());
        if (count > 0) {
            std::memcpy(target.data(), pending.data() + readFrom, count);
            readFrom += count;
        }
        if (available() == 0) {
            pending.clear();
            readFrom = 0;
        }
        return count;
    }

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
        transfer->noteHeader(std::string_view(data, length));
        const bool blankLine = (length == 2 && data[0] == '\r') || (length == 1 && data[0] == '\n');
        if (blankLine) {
            long status = 0;
            if (curl_easy_getinfo(transfer->easy.get(), CURLINFO_RESPONSE_CODE, &status) !=
                CURLE_OK) {
                status = 0;
            }
            // Interim (1xx) and redirect (3xx) responses are followed by another block.
            if (status / 100 != 1 && status / 100 != 3) {
                transfer->headersDone = true;
            }
        }
        return length;
    }

    // Keeps the headers a later request for the rest needs, from the last block only: a
    // redirect's or an interim answer's are dropped when the next status line comes.
    void noteHeader(std::string_view line)
    {
        if (line.starts_with("HTTP/")) {
            response = {};
            return;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) {
            return;
        }
        std::string name(line.substr(0, colon));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.remove_prefix(1);
        }
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n' ||
                                  value.back() == ' ' || value.back() == '\t')) {
            value.remove_suffix(1);
        }
        if (name == "etag") {
            response.etag = value;
        } else if (name == "last-modified") {
            response.lastModified = value;
        } else if (name == "content-range") {
            response.contentRange = value;
        }
    }

    // Moves the transfer on until something arrives or it ends; false once it has ended. Past
    // the deadline it ends as stalled, and it ends as abandoned when the wait hook says so.
    bool advance(Steady::time_point deadline)
    {
        if (result.finished) {
            return false;
        }
        if (paused) {
            paused = false;
            // May deliver held data at once.
            if (const CURLcode code = curl_easy_pause(easy.get(), CURLPAUSE_CONT);
                code != CURLE_OK) {
                finish(code);
                return false;
            }
            return true;
        }
        const std::size_t before = available();
        const bool headersBefore = headersDone;
        for (;;) {
            int running = 0;
            if (const CURLMcode code = curl_multi_perform(multi.get(), &running);
                code != CURLM_OK) {
                result.multiError = code;
                finish(CURLE_OK);
                return false;
            }
            int queued = 0;
            while (CURLMsg *message = curl_multi_info_read(multi.get(), &queued)) {
                if (message->msg == CURLMSG_DONE) {
                    finish(message->data.result);
                }
            }
            if (result.finished || available() != before || paused ||
                headersDone != headersBefore) {
                return !result.finished;
            }
            const auto now = Steady::now();
            if (now >= deadline) {
                result.stalled = true;
                finish(CURLE_OK);
                return false;
            }
            // The waiter gets its turn once a slice, however often bytes trickle in: often
            // enough for a window to stay responsive, rarely enough to cost nothing on a
            // fast link, where the socket wakes the poll many times a millisecond.
            if (wait && now - lastWait >= HookSlice) {
                lastWait = now;
                if (!wait()) {
                    result.abandoned = true;
                    finish(CURLE_OK);
                    return false;
                }
                continue;
            }
            const auto slice = std::min<milliseconds>(
                wait ? HookSlice : QuietSlice, std::chrono::ceil<milliseconds>(deadline - now));
            if (const CURLMcode code =
                    curl_multi_poll(multi.get(), nullptr, 0, int(slice.count()), nullptr);
                code != CURLM_OK) {
                result.multiError = code;
                finish(CURLE_OK);
                return false;
            }
        }
    }

    void finish(CURLcode code)
    {
        result.finished = true;
        result.transportError = code;
        if (easy &&
            curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &result.httpStatus) != CURLE_OK) {
            result.httpStatus = 0;
        }
    }

    // What every request asks for: the address, no proxy, http(s) only, at most five redirects,
    // certificates checked, nothing from a cache, the body and headers to this transfer. Every
    // option is checked: a libcurl that refuses one would otherwise send another request than
    // the one meant. False, with the option named in the result, when one is refused.
    bool request(const std::string &url, const WebClient::Timeouts &timeouts,
                 const std::optional<RangeRequest> &range)
    {
        curl_slist *list = curl_slist_append(nullptr, "Cache-Control: no-cache");
        list = list ? curl_slist_append(list, "Pragma: no-cache") : nullptr;
        if (list && range) {
            list = curl_slist_append(list,
                                     ("Range: bytes=" + std::to_string(range->from) + "-").c_str());
            if (list && !range->ifRange.empty()) {
                list = curl_slist_append(list, ("If-Range: " + range->ifRange).c_str());
            }
        }
        if (!list) {
            finish(CURLE_OUT_OF_MEMORY);
            return false;
        }
        headers.reset(list);
        CURL *easy = this->easy.get();
        const auto set = [&](CURLoption option, const char *name, auto value) {
            const CURLcode code = curl_easy_setopt(easy, option, value);
            if (code != CURLE_OK) {
                result.refusedOption = name;
                finish(code);
            }
            return code == CURLE_OK;
        };
#define KOLUP_SET(option, value) set(option, #option, value)
        return KOLUP_SET(CURLOPT_URL, url.c_str()) &&
               KOLUP_SET(CURLOPT_USERAGENT, AgentName.data()) &&
               // Not even a proxy named in the environment.
               KOLUP_SET(CURLOPT_PROXY, "") && KOLUP_SET(CURLOPT_PROTOCOLS_STR, "http,https") &&
               KOLUP_SET(CURLOPT_REDIR_PROTOCOLS_STR, "http,https") &&
               KOLUP_SET(CURLOPT_FOLLOWLOCATION, 1L) && KOLUP_SET(CURLOPT_MAXREDIRS, 5L) &&
               KOLUP_SET(CURLOPT_SSL_VERIFYPEER, 1L) && KOLUP_SET(CURLOPT_SSL_VERIFYHOST, 2L) &&
               // Schannel (Windows) checks revocation; a network that blocks the revocation
               // servers must not make every check "NO INTERNET CONNECTION FOUND". Other back
               // ends ignore this.
               KOLUP_SET(CURLOPT_SSL_OPTIONS, long(CURLSSLOPT_REVOKE_BEST_EFFORT)) &&
               KOLUP_SET(CURLOPT_CONNECTTIMEOUT_MS, long(timeouts.connect.count())) &&
               KOLUP_SET(CURLOPT_BUFFERSIZE, ReceiveBuffer) &&
               // Pausing a transfer is only dependable over HTTP/1.1 with this libcurl.
               KOLUP_SET(CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1)) &&
               KOLUP_SET(CURLOPT_NOSIGNAL, 1L) && KOLUP_SET(CURLOPT_HTTPHEADER, list) &&
               KOLUP_SET(CURLOPT_WRITEFUNCTION, &WebResource::Transfer::onBody) &&
               KOLUP_SET(CURLOPT_WRITEDATA, this) &&
               KOLUP_SET(CURLOPT_HEADERFUNCTION, &WebResource::Transfer::onHeader) &&
               KOLUP_SET(CURLOPT_HEADERDATA, this);
#undef KOLUP_SET
    }
};

WebClient::WebClient() : WebClient(Timeouts{}) {}

WebClient::WebClient(Timeouts timeouts) : m_timeouts(timeouts)
{
    initialiseCurlOnce();
}

WebResource WebClient::open(std::string_view address, WaitHook wait,
                            const std::optional<RangeRequest> &range) const
{
    auto transfer = std::make_unique<WebResource::Transfer>();
    transfer->stallTimeout = m_timeouts.stall;
    transfer->wait = std::move(wait);
    const std::string url = requestAddress(address);
    if (!isWebAddress(url)) {
        transfer->finish(CURLE_UNSUPPORTED_PROTOCOL);
        return WebResource(std::move(transfer));
    }
    transfer->easy.reset(curl_easy_init());
    transfer->multi.reset(curl_multi_init());
    if (!transfer->easy || !transfer->multi) {
        transfer->finish(CURLE_FAILED_INIT);
        return WebResource(std::move(transfer));
    }

    if (!transfer->request(url, m_timeouts, range)) {
        return WebResource(std::move(transfer));
    }
    CURL *easy = transfer->easy.get();
    if (const CURLMcode code = curl_multi_add_handle(transfer->multi.get(), easy);
        code != CURLM_OK) {
        transfer->result.multiError = code;
        transfer->finish(CURLE_OK);
        return WebResource(std::move(transfer));
    }

    // Connecting has its own limit in libcurl; the answer then has the no-data limit.
    const auto deadline = Steady::now() + m_timeouts.connect + m_timeouts.stall;
    while (!transfer->headersDone && transfer->advance(deadline)) {
    }
    long status = 0;
    transfer->result.httpStatus =
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK ? status : 0;
    // A failure after a good status belongs to the reads: the body so far is still there.
    transfer->open = transfer->headersDone && transfer->result.statusOk() &&
                     !transfer->result.stalled && !transfer->result.abandoned;
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
    std::size_t filled = transfer.take(buffer);
    if (filled == buffer.size()) {
        return filled; // most reads: the clock is read only when there is a wait ahead
    }
    // The limit is for the whole read: a server that drips a byte at a time cannot hold it.
    const auto deadline = Steady::now() + transfer.stallTimeout;
    while (filled < buffer.size() && transfer.advance(deadline)) {
        filled += transfer.take(buffer.subspan(filled));
    }
    // Whatever arrived with the end of the transfer is still to be handed out.
    return filled + transfer.take(buffer.subspan(filled));
}

const TransferResult &WebResource::result() const
{
    static const TransferResult closed{};
    return m_transfer ? m_transfer->result : closed;
}

const ResponseHeaders &WebResource::headers() const
{
    static const ResponseHeaders none{};
    return m_transfer ? m_transfer->response : none;
}

void WebResource::close()
{
    m_transfer.reset();
}

bool isWebAddress(std::string_view address)
{
    // The scheme in any case, and something after it.
    const auto startsWith = [address](std::string_view prefix) {
        return address.size() > prefix.size() &&
               std::equal(prefix.begin(), prefix.end(), address.begin(), [](char p, char a) {
                   return p == std::tolower(static_cast<unsigned char>(a));
               });
    };
    return startsWith("http://") || startsWith("https://");
}

std::string requestAddress(std::string_view address)
{
    // Trailing spaces are padding, never part of the address.
    address = trimPadding(address);
    static constexpr std::string_view unsafe = " \"<>\\^`{|}";
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(address.size());
    for (const char c : address) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || unsafe.find(c) != std::string_view::npos) {
            result += '%';
            result += hex[byte >> 4];
            result += hex[byte & 0xF];
        } else {
            result += c;
        }
    }
    return result;
}
