// Browsing the server: protocols and folders of the protocol database, the
// entries of a job's directory, and a protocol's current version.
#include "soapH.h"
#include "wire/convert.h"
#include "connection/channel.h"
#include "frame/frame.h"
#include "registry/access.h"
#include "host/platform.h"
#include "host/qor_keys.h"
#include "peloxImp.h"

using namespace pelox;
using wire::utf8;
using wire::toWide;

namespace {

// Server paths are built with the platform path separator.
constexpr const char16_t* kPathSep = host::PATHSEP;

void appendAll(StringArray& out, const ArrayOfString* names) {
    for (const std::u16string& name : wire::fromArray(names)) frame::append(out, name);
}

}  // namespace

PELOX_API int32_t pelox_listProtocols(const pelox_char* sessionId, const pelox_char* folder, int32_t protocolNames,
                                      int32_t folderNames) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        // Neither array is emptied unless both handles are known.
        auto outputs = registry::outputStringArrays<2>({protocolNames, folderNames});
        if (!outputs) return PELOX_E_NO_STRING_ARRAY;
        StringArray* protocols = &outputs[0];
        StringArray* folders = &outputs[1];
        if (!sessionId || !folder) return PELOX_E_NULL_ARGUMENT;
        SessionInfo session;
        if (!registry::copySession(frame::view(sessionId), session)) return PELOX_E_NO_SESSION;

        const std::u16string id = frame::toU16(sessionId);
        const std::u16string where = frame::toU16(folder);
        const char* endpoint = session.xmldbEndpoint.c_str();
        {
            SoapStruct ctx;
            int rc;
            if (session.hasProtocolNames) {
                qor__GetProtocolNamesResponse answer;
                rc = callWithRetry(ctx, "soap call to GetProtocolNames() failed", [&](struct soap* s) {
                    return soap_call_qor__GetProtocolNames(s, endpoint, "", utf8(s, id), utf8(s, where), -1, answer);
                });
                if (rc == 0) appendAll(*protocols, answer.protocolNames);
            } else {
                qor__GetComponentNamesResponse answer;
                rc = callWithRetry(ctx, "soap call to GetComponentNames() failed", [&](struct soap* s) {
                    return soap_call_qor__GetComponentNames(s, endpoint, "", utf8(s, id), utf8(s, where), answer);
                });
                if (rc == 0) appendAll(*protocols, answer.componentNames);
            }
            if (rc != 0) return rc;
        }
        SoapStruct ctx;
        qor__GetFolderNamesResponse answer;
        const int rc = callWithRetry(ctx, "soap call to GetFolderNames() failed", [&](struct soap* s) {
            return soap_call_qor__GetFolderNames(s, endpoint, "", utf8(s, id), utf8(s, where), answer);
        });
        if (rc != 0) return rc;
        appendAll(*folders, answer.folderNames);
        return PELOX_OK;
    });
}

PELOX_API int32_t pelox_listContents2(const pelox_char* sessionId, const pelox_char* subFolder, int32_t folders,
                                      int32_t files, int32_t fileSizes, const pelox_char* jobId) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!sessionId || !jobId) return PELOX_E_NULL_ARGUMENT;
        // All three handles are looked up before any array is emptied.
        auto outputs = registry::outputStringArrays<3>({folders, files, fileSizes});
        if (!outputs) return PELOX_E_NO_STRING_ARRAY;
        StringArray* folderOut = &outputs[0];
        StringArray* fileOut = &outputs[1];
        StringArray* sizeOut = &outputs[2];
        SessionInfo session;
        if (!registry::copySession(frame::view(sessionId), session)) return PELOX_E_NO_SESSION;
        if (session.serverJobsDirectory.empty())
            throw tarn::Exception("Server's %ls is unknown", qor::QOR_JobsDirectory);
        const std::u16string_view job = frame::view(jobId);
        if (job.empty()) return PELOX_E_NO_JOB;

        std::u16string path = session.serverJobsDirectory + kPathSep + session.userName + kPathSep;
        path += job;
        const std::u16string_view sub = frame::view(subFolder);
        if (!sub.empty()) {
            path += kPathSep;
            path += sub;
        }
        const std::u16string id = frame::toU16(sessionId);
        SoapStruct ctx;
        qor__GetFolderContentsResponse answer;
        const int rc = callWithRetry(ctx, "soap call to GetFolderContents() failed", [&](struct soap* s) {
            return soap_call_qor__GetFolderContents(s, session.fileEndpoint.c_str(), "", utf8(s, id), utf8(s, path),
                                                    answer);
        });
        if (rc != 0) return rc;
        if (answer.folderContents && answer.folderContents->__ptr) {
            for (int i = 0; i < answer.folderContents->__size; ++i) {
                const qor__FileData& entry = answer.folderContents->__ptr[i];
                if (entry.isFolder) {
                    frame::append(*folderOut, toWide(entry.name));
                } else {
                    frame::append(*fileOut, toWide(entry.name));
                    frame::append(*sizeOut, toWide(entry.size));
                }
            }
        }
        return PELOX_OK;
    });
}

PELOX_API int32_t pelox_getProtocolVersion(const pelox_char* sessionId, const pelox_char* componentName,
                                           int32_t* version) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        // A null output pointer is refused rather than written through.
        if (!version) return PELOX_E_NULL_ARGUMENT;
        *version = -1;
        if (!sessionId || !componentName) return PELOX_E_NULL_ARGUMENT;
        const std::u16string id = frame::toU16(sessionId);
        if (!registry::hasSession(id)) return PELOX_E_NO_SESSION;
        const std::u16string name = frame::toU16(componentName);
        SoapStruct ctx;
        qor__GetComponentVersionsResponse answer;
        const int rc = callWithRetry(ctx, "soap call to GetComponentVersions() failed", [&](struct soap* s) {
            // The session record is read afresh for every attempt.
            SessionInfo session;
            registry::copySession(id, session);
            return soap_call_qor__GetComponentVersions(s, session.xmldbEndpoint.c_str(), "", utf8(s, id),
                                                       utf8(s, name), answer);
        });
        if (rc != 0) return rc;
        if (answer.versions && answer.versions->__ptr && answer.versions->__size > 0)
            *version = answer.versions->__ptr[answer.versions->__size - 1];
        return PELOX_OK;
    });
}
