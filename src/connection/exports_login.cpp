// pelox_login: opens a session with a server and registers its record.
#include "connection/channel.h"
#include "connection/session_setup.h"
#include "frame/frame.h"
#include "registry/access.h"
#include "frame/settings.h"
#include "peloxImp.h"

using namespace pelox;

PELOX_API int32_t pelox_login(const pelox_char* serverUrl, const pelox_char* userName, const pelox_char* password,
                              void* /*reserved*/, int32_t sessionIdHandle, const pelox_char* clientType) {
    return frame::runExport(/*initialising=*/true, [&]() -> int32_t {
        auto out = registry::outputString(sessionIdHandle);
        if (!out) return PELOX_E_NO_STRING;
        if (!serverUrl || !userName || !password) return PELOX_E_NULL_ARGUMENT;

        std::string locator = frame::toUtf8(serverUrl);
        normaliseServerUrl(locator);
        const std::string version = kLibraryVersion;
        const std::string type = clientTypeText(frame::view(clientType));

        int rc = checkClientCompatibility(locator, type, version);
        if (rc != 0) return rc;

        std::string sessionId;
        rc = loginCall(locator, frame::toUtf8(userName), frame::toUtf8(password), type, version,
                       frame::toUtf8(tarn::util::getHostName()), sessionId);
        if (rc != 0) return rc;
        // A session without an ID could never be found again.
        if (sessionId.empty()) throw tarn::Exception("The server returned no session ID");
        const std::u16string id = tarn::util::ConvertUTF8toString(sessionId);
        frame::setText(*out, id);

        SessionInfo session;
        session.serverUrl = locator;
        session.userName = shortUserName(frame::view(userName));
        session.clientTypeSuffix = frame::toU16(clientType);
        try {
            rc = setUpSession(session, id);
        } catch (...) {
            // A login that failed leaves nothing behind but its error record:
            // the caller must not hold a session ID that was never registered.
            out->clear();
            throw;
        }
        if (rc != 0) {
            out->clear();
            return rc;
        }
        registry::putSession(id, session);
        return PELOX_OK;
    });
}
