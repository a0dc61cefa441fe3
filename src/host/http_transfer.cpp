#include "host/http_transfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include "host/compress.h"
#include "host/curl_resolve.h"
#include "host/files.h"
#include "host/sigpipe.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"
#include "host/tls_trust.h"
#include "host/trace.h"

namespace pelox::host {

namespace {

// To open the connection; the transfer itself has no time limit (files may be
// large), but one that moves no byte for kStallSeconds is given up.
constexpr long kConnectTimeoutSeconds = 10;
constexpr long kStallSeconds = 300;
// At most this much of an error answer's body is kept for the message.
constexpr size_t kErrorTextLimit = 512;

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

CurlHandle newHandle(const std::string& maskedUrl) {
    globalInit();
    CurlHandle curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) throw tarn::Exception("Could not reach %s: the HTTP client could not be set up", maskedUrl);
    return curl;
}

class HeaderList {
public:
    ~HeaderList() { curl_slist_free_all(list_); }
    void add(const char* header) {
        curl_slist* next = curl_slist_append(list_, header);
        if (!next) throw tarn::Exception("Out of memory while preparing an HTTP request");
        list_ = next;
    }
    curl_slist* get() const { return list_; }

private:
    curl_slist* list_ = nullptr;
};

// The value of the SID query parameter as sent (percent-encoded), and its
// decoded form; both are kept out of every message.
class Masker {
public:
    explicit Masker(const std::string& url) {
        for (size_t at = url.find("SID="); at != std::string::npos; at = url.find("SID=", at + 1)) {
            if (at != 0 && url[at - 1] != '?' && url[at - 1] != '&') continue;
            const size_t start = at + 4;
            const size_t end = std::min(url.find('&', start), url.find('#', start));
            const std::string value = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (value.empty()) continue;
            secrets_.push_back(value);
            int length = 0;
            if (char* decoded = curl_easy_unescape(nullptr, value.c_str(), static_cast<int>(value.size()), &length)) {
                std::string plain(decoded, static_cast<size_t>(length));
                curl_free(decoded);
                if (!plain.empty() && plain != value) secrets_.push_back(plain);
            }
        }
    }
    std::string apply(std::string text) const {
        for (const std::string& secret : secrets_) {
            for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
                text.replace(at, secret.size(), "***");
        }
        return text;
    }

private:
    std::vector<std::string> secrets_;
};

// The first line of an error answer's body, for the message: " (text)", or
// nothing when the body is empty.
std::string serverText(const std::string& body, const Masker& masker) {
    std::string line = body.substr(0, body.find_first_of("\r\n"));
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (line.empty()) return {};
    return " (" + masker.apply(line) + ")";
}

// Runs the transfer with its host resolved on this thread (host/curl_resolve.h)
// and SIGPIPE blocked: a peer that closes the connection
// while TLS writes to it must fail the transfer, not end the process. The
// exchange goes into the wire trace when that is on.
CURLcode perform(CURL* curl, const std::string& url, char* errorText) {
    SigpipeBlocker noSigpipe;
    TraceExchange trace("HTTP");
    trace.setUrl(url);
    traceCurlHandle(curl, trace);
    const CallerThreadResolve resolved(curl, url);
    if (!resolved.ok()) std::snprintf(errorText, CURL_ERROR_SIZE, "%s", resolved.error().c_str());
    const CURLcode rc = resolved.ok() ? curl_easy_perform(curl) : CURLE_COULDNT_RESOLVE_HOST;
    trace.finish(rc == CURLE_OK ? std::string() : std::string(curl_easy_strerror(rc)));
    return rc;
}

// Options shared by uploads and downloads.
void setCommonOptions(CURL* curl, const std::string& url, char* errorText) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    // Verified like the service endpoints and the status page.
    setCurlTrust(curl);
}

std::string transportText(CURL* curl, CURLcode rc, const char* errorText, const Masker& masker) {
    return masker.apply(curlFailureText(curl, rc, errorText));
}

bool successStatus(long status) { return status >= 200 && status < 300; }

// ---------------------------------------------------------------- download

struct Download {
    CURL* curl = nullptr;
    const std::function<void(const unsigned char*, size_t)>* sink = nullptr;
    CancelQuery* cancel = nullptr;
    long status = 0;
    bool statusRead = false;
    std::string errorBody;
    bool cancelled = false;
    std::exception_ptr failure;

    bool shouldStop() {
        if (!cancel) return false;
        if (cancel->ShouldStop()) cancelled = true;
        return cancelled;
    }
};

size_t onDownloadData(char* data, size_t size, size_t count, void* user) {
    auto* d = static_cast<Download*>(user);
    const size_t n = size * count;
    try {
        if (!d->statusRead) {
            curl_easy_getinfo(d->curl, CURLINFO_RESPONSE_CODE, &d->status);
            d->statusRead = true;
        }
        if (!successStatus(d->status)) {
            // An error answer never reaches the sink; its first bytes name
            // the problem, the rest is not waited for.
            const size_t keep = std::min(n, kErrorTextLimit - std::min(kErrorTextLimit, d->errorBody.size()));
            d->errorBody.append(data, keep);
            return d->errorBody.size() >= kErrorTextLimit ? 0 : n;
        }
        (*d->sink)(reinterpret_cast<const unsigned char*>(data), n);
        if (d->shouldStop()) return 0;
        return n;
    } catch (...) {
        d->failure = std::current_exception();
        return 0;  // aborts the transfer with CURLE_WRITE_ERROR
    }
}

// Called once the connection is open, before the request goes out.
int onConnected(void* user, char*, char*, int, int) {
    auto* d = static_cast<Download*>(user);
    try {
        return d->shouldStop() ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
    } catch (...) {
        d->failure = std::current_exception();
        return CURL_PREREQFUNC_ABORT;
    }
}

// ---------------------------------------------------------------- upload

struct Upload {
    vcFile file;
    std::u16string path;
    std::unique_ptr<CompressStream> compressor;  // old protocol only
    std::optional<uintmax_t> announced;          // raw bytes with Content-Length
    uintmax_t read = 0;
    Bytes piece;
    Bytes pending;
    size_t offset = 0;
    bool ended = false;
    std::exception_ptr failure;
    std::string answer;  // the first bytes of the server's answer

    // Makes more bytes to send available in pending; leaves it empty at the end.
    void refill() {
        pending.clear();
        offset = 0;
        while (pending.empty() && !ended) {
            const size_t n = file.Read(piece.data(), piece.size());
            read += n;
            if (announced && (read > *announced || (n == 0 && read != *announced)))
                throw tarn::Exception("'%ls' changed size while it was uploaded", path);
            if (compressor) {
                if (n == 0) {
                    compressor->Finish(pending);
                    ended = true;
                } else {
                    compressor->Feed(piece.data(), n, pending);
                }
            } else if (n == 0) {
                ended = true;
            } else {
                pending.assign(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
            }
        }
    }
};

size_t onUploadRead(char* buffer, size_t size, size_t count, void* user) {
    auto* u = static_cast<Upload*>(user);
    try {
        if (u->offset == u->pending.size()) u->refill();
        const size_t n = std::min(size * count, u->pending.size() - u->offset);
        if (n > 0) std::memcpy(buffer, u->pending.data() + u->offset, n);
        u->offset += n;
        return n;
    } catch (...) {
        u->failure = std::current_exception();
        return CURL_READFUNC_ABORT;
    }
}

size_t onUploadAnswer(char* data, size_t size, size_t count, void* user) {
    auto* u = static_cast<Upload*>(user);
    const size_t n = size * count;
    if (u->answer.size() < kErrorTextLimit) u->answer.append(data, std::min(n, kErrorTextLimit - u->answer.size()));
    return n;
}

// The Content-Length to announce for a raw upload: the size of a regular
// file, unless it reports none (files of /proc report 0 and still have
// content), in which case the body is sent chunked.
std::optional<uintmax_t> contentLength(const std::u16string& path) {
    std::error_code ec;
    const std::filesystem::path p(reinterpret_cast<const char8_t*>(tarn::util::ConvertStringtoUTF8(path).c_str()));
    if (!std::filesystem::is_regular_file(p, ec) || ec) return std::nullopt;
    const uintmax_t size = std::filesystem::file_size(p, ec);
    if (ec || size == 0) return std::nullopt;
    return size;
}

}  // namespace

std::string maskSessionId(const std::string& url) {
    std::string out = url;
    for (size_t at = out.find("SID="); at != std::string::npos; at = out.find("SID=", at + 1)) {
        if (at != 0 && out[at - 1] != '?' && out[at - 1] != '&') continue;
        const size_t start = at + 4;
        size_t end = std::min(out.find('&', start), out.find('#', start));
        if (end == std::string::npos) end = out.size();
        out.replace(start, end - start, "***");
    }
    return out;
}

bool HttpDownload(const std::string& url, const std::function<void(const unsigned char*, size_t)>& sink,
                  CancelQuery* cancel) {
    const std::string masked = maskSessionId(url);
    const Masker masker(url);
    Download d;
    d.sink = &sink;
    d.cancel = cancel;
    if (d.shouldStop()) return false;

    CurlHandle curl = newHandle(masked);
    d.curl = curl.get();
    char errorText[CURL_ERROR_SIZE] = {0};
    setCommonOptions(curl.get(), url, errorText);
    curl_easy_setopt(curl.get(), CURLOPT_HTTPGET, 1L);
    // The download service may send the body gzip-encoded; curl undoes it.
    curl_easy_setopt(curl.get(), CURLOPT_ACCEPT_ENCODING, "gzip");
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, onDownloadData);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &d);
    curl_easy_setopt(curl.get(), CURLOPT_PREREQFUNCTION, onConnected);
    curl_easy_setopt(curl.get(), CURLOPT_PREREQDATA, &d);
    const CURLcode rc = perform(curl.get(), url, errorText);

    if (d.failure) std::rethrow_exception(d.failure);
    if (d.cancelled) return false;
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status != 0 && !successStatus(status))
        throw tarn::Exception("Could not download %s: HTTP status %ld%s", masked, status,
                              serverText(d.errorBody, masker));
    if (rc != CURLE_OK) {
        if (status != 0)
            throw tarn::Exception("Could not download %s: HTTP status %ld, %s", masked, status,
                                  transportText(curl.get(), rc, errorText, masker));
        throw tarn::Exception("Could not download %s: %s", masked, transportText(curl.get(), rc, errorText, masker));
    }
    return true;
}

void vcSoapUtils::UploadViaCGI(const std::u16string& localPath, const std::u16string& serverPath,
                               const std::u16string& jobId, const std::u16string& sessionId, bool newUploadProtocol,
                               const std::u16string& uploadUrl, bool zlibForm) {
    std::string url = tarn::util::ConvertStringtoUTF8(uploadUrl);
    url += "?filename=" + tarn::util::urlEncode(serverPath);
    url += "&SID=" + tarn::util::urlEncode(sessionId);
    if (!jobId.empty()) url += "&jobID=" + tarn::util::urlEncode(jobId);
    if (!newUploadProtocol) url += "&compress=1";
    const std::string masked = maskSessionId(url);
    const Masker masker(url);

    Upload u;
    u.path = localPath;
    if (!u.file.Open(localPath, kFileRead)) throw tarn::Exception("Could not open '%ls' for reading", localPath);
    u.piece.resize(kUploadPiece);
    if (newUploadProtocol) {
        u.announced = contentLength(localPath);
    } else {
        u.compressor = std::make_unique<CompressStream>(5, zlibForm);
    }

    CurlHandle curl = newHandle(masked);
    char errorText[CURL_ERROR_SIZE] = {0};
    setCommonOptions(curl.get(), url, errorText);
    HeaderList headers;
    headers.add("Content-Type: application/octet-stream");
    curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
    if (u.announced) {
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(*u.announced));
    } else {
        // The compressed size is known only at the end (and some files do
        // not tell theirs).
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
        headers.add("Transfer-Encoding: chunked");
    }
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_READFUNCTION, onUploadRead);
    curl_easy_setopt(curl.get(), CURLOPT_READDATA, &u);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, onUploadAnswer);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &u);
    const CURLcode rc = perform(curl.get(), url, errorText);
    u.file.Close();

    if (u.failure) std::rethrow_exception(u.failure);
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status != 0 && !successStatus(status))
        throw tarn::Exception("Could not upload '%ls' to %s: HTTP status %ld%s", localPath, masked, status,
                              serverText(u.answer, masker));
    if (rc != CURLE_OK)
        throw tarn::Exception("Could not upload '%ls' to %s: %s", localPath, masked,
                              transportText(curl.get(), rc, errorText, masker));
    if (status == 0) throw tarn::Exception("Could not upload '%ls' to %s: no answer", localPath, masked);
}

}  // namespace pelox::host
