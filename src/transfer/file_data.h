// Moving whole files between this machine and the server's file system for a
// session. Each transfer takes the cheapest road the session allows:
//   1. a plain file copy / read when the server runs on this machine,
//   2. the server's HTTP upload or download service when it offers one,
//   3. otherwise the file service's zipped operations (uploads in 100 KiB
//      chunks, each compressed on its own; downloads in one reply).
// Uploads read the local file piece by piece on every road, so memory does
// not grow with the file size. Downloads to a file go to a temporary file
// beside the target that replaces it only when complete.
//
// Every exception leaving an operation carries "FileData::<operation>".
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "connection/session_info.h"
#include "host/compress.h"
#include "host/http_transfer.h"

namespace pelox {

class FileDataBase {
public:
    virtual ~FileDataBase() = default;
};

class FileData : public FileDataBase {
public:
    // Pieces read from a local file for the zipped upload (one chunk each).
    static constexpr size_t kChunkSize = 102400;

    // Copies what a transfer needs from the session record.
    FileData(const SessionInfo& session, std::u16string_view sessionId);

    // Uploads the local file at localPath (absolute) to serverPath: a local
    // copy when the server is on this machine (falling back to the network
    // roads when the copy fails), else the HTTP upload service, else zipped
    // chunks. A non-null, non-empty jobId makes a relative serverPath
    // relative to that job's directory. Throws "Client upload source path
    // '...' must be absolute" for a relative localPath.
    virtual void Upload(const std::u16string& localPath, const std::u16string& serverPath,
                        const std::u16string* jobId);

    // The whole server file into out (for data that is small or needed in
    // memory). cancel may be null; a cancelled HTTP download leaves out empty.
    virtual void DownloadFile(const std::u16string& serverPath, host::Bytes& out, host::CancelQuery* cancel);

    // Streams the server file into a private temporary file and writes it
    // into localPath, in place, only when the whole file arrived
    // (host::InPlaceFileWriter). On any failure an existing localPath is left
    // as it was and no new file is left behind. localPath is checked before
    // anything is fetched, so one that cannot be written fails without
    // network traffic.
    void DownloadToFile(const std::u16string& serverPath, const std::u16string& localPath);

    // The download service: GET <downloadUrl>?filename=<S>&SID=<id>&compress=1,
    // the body appended to out as it arrives. Throws naming the URL (session
    // ID masked) and the HTTP status on failure.
    void DownloadViaCGI(const std::u16string& serverPath, host::Bytes& out, host::CancelQuery* cancel);

    std::string fileEndpoint;     // file service endpoint (UTF-8)
    std::u16string uploadUrl;     // HTTP upload service; empty when not offered
    std::u16string downloadUrl;   // HTTP download service; empty when not offered
    std::u16string localRoot;     // the server's local root
    std::u16string jobsDirectory; // the server's jobs directory
    std::u16string userName;      // the session's user (last part of the login name)
    std::u16string sessionId;
    bool oldServerLayout = false;   // server version below 7
    bool compressFlag = false;      // server version 7 or later: zlib form
    bool localServer = false;       // the server runs on this machine
    bool newUploadProtocol = false; // server version 8 or later: raw HTTP uploads

private:
    // Where a local copy of an upload goes; empty when there is none.
    std::u16string localUploadTarget(const std::u16string& serverPath, const std::u16string& jobId) const;
    // The local file read for a download; empty when the local road does not apply.
    std::u16string localDownloadSource(const std::u16string& serverPath) const;
    // serverPath (relative) inside the job's directory on the server; empty
    // when the server's layout does not tell where that is.
    std::u16string jobServerPath(const std::u16string& serverPath, const std::u16string& jobId) const;
    std::string downloadRequestUrl(const std::u16string& serverPath) const;
    void uploadZipped(const std::u16string& localPath, const std::u16string& serverPath);
    // Calls DownloadFileZipped and hands the reply's compressed bytes to use
    // while the reply is still held.
    void withZipped(const std::u16string& serverPath, const std::function<void(const unsigned char*, size_t)>& use);
};

}  // namespace pelox
