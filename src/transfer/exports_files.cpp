// File exports: upload a local file, download a server file, test whether a
// server file exists. They have no output object, so they take no
// output-registry lock; each works on its own copy of the session record.
#include <string>

#include "soapH.h"
#include "wire/convert.h"
#include "connection/channel.h"
#include "frame/frame.h"
#include "host/files.h"
#include "registry/access.h"
#include "transfer/file_data.h"
#include "peloxImp.h"

using namespace pelox;

namespace {

// A local path must be absolute (an empty one is not).
bool isRelativeLocalPath(const pelox_char* path) { return host::vcFileName(frame::view(path)).IsRelative(); }

}  // namespace

PELOX_API int32_t pelox_uploadJobFile(const pelox_char* sessionId, const pelox_char* localPath,
                                      const pelox_char* serverPath, const pelox_char* jobId) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!sessionId || !localPath || !serverPath) return PELOX_E_NULL_ARGUMENT;
        if (isRelativeLocalPath(localPath)) return PELOX_E_RELATIVE_PATH;
        const std::u16string id = frame::toU16(sessionId);
        SessionInfo session;
        if (!registry::copySession(id, session)) return PELOX_E_NO_SESSION;
        const std::u16string job = frame::toU16(jobId);
        if (!job.empty()) {
            // Only known jobs; the record is not held during the transfer.
            HeldJob record;
            if (!registry::findJob(job, record)) return PELOX_E_NO_JOB;
            record.release();
        }
        FileData files(session, id);
        files.Upload(frame::toU16(localPath), frame::toU16(serverPath), job.empty() ? nullptr : &job);
        return PELOX_OK;
    });
}

PELOX_API int32_t pelox_uploadFile(const pelox_char* sessionId, const pelox_char* localPath,
                                   const pelox_char* serverPath) {
    return pelox_uploadJobFile(sessionId, localPath, serverPath, nullptr);
}

PELOX_API int32_t pelox_downloadFile(const pelox_char* sessionId, const pelox_char* serverPath,
                                     const pelox_char* localPath) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!sessionId || !serverPath || !localPath) return PELOX_E_NULL_ARGUMENT;
        if (isRelativeLocalPath(localPath)) return PELOX_E_RELATIVE_PATH;
        const std::u16string id = frame::toU16(sessionId);
        SessionInfo session;
        if (!registry::copySession(id, session)) return PELOX_E_NO_SESSION;
        FileData files(session, id);
        files.DownloadToFile(frame::toU16(serverPath), frame::toU16(localPath));
        return PELOX_OK;
    });
}

PELOX_API int32_t pelox_checkFileAccess(const pelox_char* sessionId, const pelox_char* serverPath,
                                        pelox_bool* exists) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        // A null output pointer is refused rather than written through.
        if (!exists) return PELOX_E_NULL_ARGUMENT;
        *exists = 0;
        if (!sessionId || !serverPath) return PELOX_E_NULL_ARGUMENT;
        const std::u16string id = frame::toU16(sessionId);
        SessionInfo session;
        if (!registry::copySession(id, session)) return PELOX_E_NO_SESSION;
        // The file service lives beside the locator the session logged in to.
        std::string endpoint = session.serverUrl;
        const std::string locator = "/qorvane/locator";
        const std::string file = "/qorvane/file";
        for (size_t at = endpoint.find(locator); at != std::string::npos; at = endpoint.find(locator, at + file.size()))
            endpoint.replace(at, locator.size(), file);
        const std::u16string path = frame::toU16(serverPath);
        SoapStruct ctx;
        qor__DoesFileExistResponse answer;
        const int rc = callWithRetry(ctx, "soap call to DoesFileExist() failed", [&](struct soap* s) {
            return soap_call_qor__DoesFileExist(s, endpoint.c_str(), "", wire::utf8(s, id), wire::utf8(s, path),
                                                answer);
        });
        if (rc != 0) return rc;
        *exists = answer.result ? 1 : 0;
        return PELOX_OK;
    });
}
