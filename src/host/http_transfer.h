// File transfer over the server's plain HTTP services (libcurl): the upload
// service (POST of a local file) and the download service (GET handed to a
// sink as it arrives). Both stream: memory does not grow with the file size.
//
// Error texts never carry the session ID: the value of the "SID" query
// parameter is masked ("SID=***") in every URL or server text they quote.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace pelox::host {

// Asked during a transfer whether to give up; ShouldStop() true stops it.
class CancelQuery {
public:
    virtual ~CancelQuery() = default;
    virtual bool Reserved() { return false; }
    virtual bool ShouldStop() = 0;
};

class vcSoapUtils {
public:
    // Size of the pieces read from the local file.
    static constexpr size_t kUploadPiece = 100 * 1024;

    // POST <uploadUrl>?filename=<enc serverPath>&SID=<enc sid>[&jobID=<enc job>]
    // with the file streamed from disk in 100 KiB reads. newUploadProtocol:
    // the raw bytes (with Content-Length); otherwise "&compress=1" and the
    // compressed form (zlib stream when zlibForm, else raw deflate) produced
    // piece by piece and sent chunked.
    // Throws tarn::Exception naming the local file (open or read error, a file
    // that changed size while it was sent) or the URL with the HTTP status
    // (any non-2xx) or the transport error.
    static void UploadViaCGI(const std::u16string& localPath, const std::u16string& serverPath,
                             const std::u16string& jobId, const std::u16string& sessionId, bool newUploadProtocol,
                             const std::u16string& uploadUrl, bool zlibForm);
};

// GET url; the body (after undoing a gzip Content-Encoding) is handed to sink
// as it arrives, in blocks of 8 KiB or more, and only for a 2xx answer.
// cancel (may be null) is asked before the request, after the connection
// opens and after every block; returns false when it said stop (the sink may
// have received part of the body), true when the whole body was delivered.
// Throws tarn::Exception naming the URL (SID masked) with the HTTP status
// (any non-2xx) or the transport error (a body cut short included). An
// exception thrown by sink ends the transfer and passes through unchanged.
// https is verified: system trust store, or the PEM bundle named by
// PELOX_CA_BUNDLE; the certificate must name the host.
bool HttpDownload(const std::string& url, const std::function<void(const unsigned char*, size_t)>& sink,
                  CancelQuery* cancel);

// url with the value of its "SID" query parameter replaced by "***".
std::string maskSessionId(const std::string& url);

}  // namespace pelox::host
