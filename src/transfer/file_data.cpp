#include "transfer/file_data.h"

#include <functional>
#include <utility>
#include <vector>

#include "soapH.h"
#include "wire/convert.h"
#include "connection/channel.h"
#include "host/files.h"
#include "host/platform.h"
#include "host/qor_keys.h"
#include "host/tarn_context.h"
#include "host/tarn_util.h"

namespace pelox {

namespace {

using Sink = std::function<void(const unsigned char*, size_t)>;

// Local reads for downloads go in blocks of this size.
constexpr size_t kLocalBlock = 4096;

bool isRelative(const std::u16string& path) { return host::vcFileName(path).IsRelative(); }

// a + separator + b, without doubling a separator at the end of a.
std::u16string join(std::u16string a, std::u16string_view b) {
    if (a.empty() || a.back() != host::PATHSEP[0]) a += host::PATHSEP;
    a += b;
    return a;
}

// Reads an opened local file to its end into sink.
void readAll(host::vcFile& file, const Sink& sink) {
    std::vector<unsigned char> block(kLocalBlock);
    for (;;) {
        const size_t n = file.Read(block.data(), block.size());
        if (n == 0) break;
        sink(block.data(), n);
    }
    file.Close();
}

}  // namespace

FileData::FileData(const SessionInfo& session, std::u16string_view id)
    : fileEndpoint(session.fileEndpoint),
      uploadUrl(session.uploadEndpoint),
      downloadUrl(session.downloadEndpoint),
      localRoot(session.serverLocalRoot),
      jobsDirectory(session.serverJobsDirectory),
      userName(session.userName),
      sessionId(id),
      oldServerLayout(session.serverIsBefore7),
      compressFlag(session.serverIs7OrLater),
      localServer(session.serverIsLocal),
      newUploadProtocol(session.serverIs8OrLaterUpload) {}

// ---------------------------------------------------------------- paths

std::u16string FileData::jobServerPath(const std::u16string& serverPath, const std::u16string& jobId) const {
    if (oldServerLayout) {
        if (localRoot.empty()) return {};
        std::u16string dir = join(localRoot, qor::QOR_WebDir);
        dir = join(dir, qor::QOR_JobsDir);
        dir = join(dir, userName);
        return join(join(dir, jobId), serverPath);
    }
    if (jobsDirectory.empty()) return {};
    std::u16string userDir;
    host::vcQorDir::GetUserDirectory(jobsDirectory, userName, userDir);
    return join(join(userDir, jobId), serverPath);
}

std::u16string FileData::localUploadTarget(const std::u16string& serverPath, const std::u16string& jobId) const {
    if (!isRelative(serverPath)) return serverPath;
    if (!jobId.empty()) return jobServerPath(serverPath, jobId);
    // Without a known root a relative server path has no place here (it
    // would otherwise land relative to the file system's root).
    if (localRoot.empty()) return {};
    return join(localRoot, serverPath);
}

std::u16string FileData::localDownloadSource(const std::u16string& serverPath) const {
    const int kind = host::vcFileName(serverPath).GetKind();
    const bool localForm = kind >= host::kPathNetworkShare && kind <= host::kPathDevice;
    if (!localForm && !localServer) return {};
    if (!isRelative(serverPath)) return serverPath;
    if (localRoot.empty()) return {};
    return join(localRoot, serverPath);
}

std::string FileData::downloadRequestUrl(const std::u16string& serverPath) const {
    std::string url = tarn::util::ConvertStringtoUTF8(downloadUrl);
    url += "?filename=" + tarn::util::urlEncode(serverPath);
    url += "&SID=" + tarn::util::urlEncode(sessionId);
    url += "&compress=1";
    return url;
}

// ---------------------------------------------------------------- upload

void FileData::Upload(const std::u16string& localPath, const std::u16string& serverPath,
                      const std::u16string* jobId) {
    tarn::annotate(u"FileData", u"Upload", [&] {
        if (isRelative(localPath))
            throw tarn::Exception("Client upload source path '%ls' must be absolute", localPath);
        const std::u16string job = jobId ? *jobId : std::u16string();
        if (localServer) {
            // A copy that fails (missing directory, no rights) is no error:
            // the network roads below still reach the server.
            const std::u16string target = localUploadTarget(serverPath, job);
            if (!target.empty() && host::vcFile::CopyFileW(localPath, target)) return;
        }
        if (!uploadUrl.empty()) {
            host::vcSoapUtils::UploadViaCGI(localPath, serverPath, job, sessionId, newUploadProtocol, uploadUrl,
                                            compressFlag);
            return;
        }
        // The file operations know no job: a file meant for a job's directory
        // is sent with its path there.
        std::u16string target = serverPath;
        if (!job.empty() && isRelative(serverPath)) {
            target = jobServerPath(serverPath, job);
            if (target.empty())
                throw tarn::Exception("Cannot upload '%ls' into job %ls: the server's job directories are unknown",
                                      localPath, job);
        }
        uploadZipped(localPath, target);
    });
}

void FileData::uploadZipped(const std::u16string& localPath, const std::u16string& serverPath) {
    host::vcFile file;
    if (!file.Open(localPath, host::kFileRead)) throw tarn::Exception("failed to open file %ls", localPath);
    // One compressor for the whole file: its working memory is made once.
    // Everything runs on the calling thread; compressing a chunk in one shot
    // (host/compress.h) is fast enough that the requests, not compression,
    // set the pace.
    host::vcCompress compressor(5, compressFlag, false);
    std::vector<unsigned char> piece(kChunkSize);
    host::Bytes zipped;

    const char* endpoint = fileEndpoint.c_str();
    constexpr const char* kFailure = "soap call to UploadFile() failed";
    for (bool first = true;; first = false) {
        const size_t size = file.Read(piece.data(), piece.size());
        if (size == 0 && !first) break;
        // A context per chunk: its request memory goes with it.
        SoapStruct ctx;
        qor__EmptyResponse answer;
        int rc;
        if (size > 0) {
            compressor.Compress(zipped, piece.data(), size);
            rc = callWithRetry(ctx, kFailure, [&](struct soap* s) {
                return soap_call_qor__UploadFileZipped(s, endpoint, "", wire::utf8(s, sessionId),
                                                       wire::utf8(s, serverPath), wire::toBase64(s, zipped), !first,
                                                       answer);
            });
        } else {
            // An empty file: one plain call without data, so that the server
            // still creates the file.
            rc = callWithRetry(ctx, kFailure, [&](struct soap* s) {
                return soap_call_qor__UploadFile(s, endpoint, "", wire::utf8(s, sessionId), wire::utf8(s, serverPath),
                                                 wire::toBase64(s, nullptr, 0), false, answer);
            });
        }
        if (rc != 0) throw SoapRequestException(kFailure, ctx.get());
        if (size == 0) break;  // the empty file's one call
    }
    file.Close();
}

// ---------------------------------------------------------------- download

void FileData::withZipped(const std::u16string& serverPath,
                          const std::function<void(const unsigned char*, size_t)>& use) {
    constexpr const char* kFailure = "soap call to DownloadFile() failed";
    SoapStruct ctx;
    qor__DownloadFileZippedResponse answer;
    const int rc = callWithRetry(ctx, kFailure, [&](struct soap* s) {
        return soap_call_qor__DownloadFileZipped(s, fileEndpoint.c_str(), "", wire::utf8(s, sessionId),
                                                 wire::utf8(s, serverPath), answer);
    });
    if (rc != 0) throw SoapRequestException(kFailure, ctx.get());
    const xsd__base64Binary* data = answer.zippedData;
    if (data && data->__ptr && data->__size > 0) {
        use(data->__ptr, static_cast<size_t>(data->__size));
    } else {
        use(nullptr, 0);
    }
}

void FileData::DownloadFile(const std::u16string& serverPath, host::Bytes& out, host::CancelQuery* cancel) {
    tarn::annotate(u"FileData", u"DownloadFile", [&] {
        out.clear();
        const std::u16string source = localDownloadSource(serverPath);
        if (!source.empty()) {
            host::vcFile file;
            if (file.Open(source, host::kFileRead)) {
                readAll(file, [&](const unsigned char* data, size_t n) { out.insert(out.end(), data, data + n); });
                return;
            }
        }
        if (!downloadUrl.empty()) {
            DownloadViaCGI(serverPath, out, cancel);
            return;
        }
        withZipped(serverPath, [&](const unsigned char* data, size_t size) {
            host::vcCompress(5, true, false).Decompress(out, host::Bytes(data, data + size));
        });
    });
}

void FileData::DownloadToFile(const std::u16string& serverPath, const std::u16string& localPath) {
    tarn::annotate(u"FileData", u"DownloadFile", [&] {
        // Made first: a local path that cannot be written (a read-only file, a
        // folder) fails before anything is fetched. The data are collected
        // aside and written into the file only when complete, in place, so
        // the file keeps its identity and a failed transfer leaves it
        // untouched (host/files.h).
        host::InPlaceFileWriter writer(localPath);
        const Sink sink = [&](const unsigned char* data, size_t n) { writer.Write(data, n); };
        bool done = false;
        const std::u16string source = localDownloadSource(serverPath);
        if (!source.empty()) {
            host::vcFile file;
            if (file.Open(source, host::kFileRead)) {
                readAll(file, sink);
                done = true;
            }
        }
        if (!done && !downloadUrl.empty()) {
            tarn::annotate(u"FileData", u"DownloadViaCGI", [&] {
                if (!host::HttpDownload(downloadRequestUrl(serverPath), sink, nullptr))
                    throw tarn::Exception("The download of %ls was cancelled", serverPath);
            });
            done = true;
        }
        if (!done) {
            withZipped(serverPath, [&](const unsigned char* data, size_t size) {
                host::vcCompress(5, true, false).Decompress(data, size, sink);
            });
        }
        writer.Commit();
    });
}

void FileData::DownloadViaCGI(const std::u16string& serverPath, host::Bytes& out, host::CancelQuery* cancel) {
    tarn::annotate(u"FileData", u"DownloadViaCGI", [&] {
        const size_t start = out.size();
        try {
            const bool complete = host::HttpDownload(
                downloadRequestUrl(serverPath),
                [&](const unsigned char* data, size_t n) { out.insert(out.end(), data, data + n); }, cancel);
            // Part of a file is no file: a transfer stopped after data
            // arrived leaves nothing.
            if (!complete && out.size() > start) out.clear();
        } catch (...) {
            out.resize(start);
            throw;
        }
    });
}

}  // namespace pelox
