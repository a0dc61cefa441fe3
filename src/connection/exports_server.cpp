// pelox_getServerConfiguration and pelox_getServerStatus: what a server is
// set up with, and whether it is available, as result infos.
#include "connection/channel.h"
#include "frame/frame.h"
#include "registry/access.h"
#include "host/http_reader.h"
#include "host/qor_keys.h"
#include "peloxImp.h"

using namespace pelox;

namespace {

// The configuration settings the library shows to callers.
bool isExposedSetting(std::u16string_view upperName) {
    static const char16_t* const kExposed[] = {
        qor::QOR_ServerOS,          qor::QOR_ROOT,          qor::QOR_SSLROOT,
        qor::QOR_SERVERVERSION,     qor::QOR_USEAUTHENTICATION, qor::QOR_UsersDirectory,
        qor::QOR_LOCALROOT,         qor::QOR_GridEngineType, qor::QOR_GridEngineNames};
    for (const char16_t* key : kExposed)
        if (tarn::util::equalsIgnoreCaseAscii(upperName, key)) return true;
    return false;
}

constexpr const char* kStatusPage = "/qorvane/serverstatus?format=text&availability_gui=1";

}  // namespace

PELOX_API int32_t pelox_getServerConfiguration(const pelox_char* serverUrl, int32_t resultInfo) {
    return frame::runExport(/*initialising=*/true, [&]() -> int32_t {
        auto out = registry::outputResultInfo(resultInfo);
        if (!out) return PELOX_E_NO_RESULT_INFO;
        if (!serverUrl) return PELOX_E_NULL_ARGUMENT;
        std::string url = frame::toUtf8(serverUrl);
        if (url.empty()) return PELOX_E_NULL_ARGUMENT;
        normaliseServerUrl(url);

        ConfigurationMap configuration;
        const int rc = fetchServerConfiguration(url, configuration);
        if (rc != 0) return rc;

        // Names in the configuration map's walk order; every setting is kept
        // under its name, only the exposed ones are listed.
        for (const auto& [name, values] : configuration.entries()) {
            const std::u16string upper = tarn::util::toUpperAscii(name);
            if (isExposedSetting(upper)) out->appendName(upper);
            StringArray& slot = out->entry(upper);
            const bool unset = values.size() == 1 && values.front().empty();
            frame::setArray(slot, unset ? std::vector<std::u16string>() : values);
        }
        return PELOX_OK;
    });
}

PELOX_API int32_t pelox_getServerStatus(const pelox_char* sessionId, int32_t resultInfo) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!sessionId) return PELOX_E_NULL_ARGUMENT;
        SessionInfo session;
        if (!registry::copySession(frame::view(sessionId), session)) return PELOX_E_NO_SESSION;
        if (session.serverRoot.empty()) throw tarn::Exception("ServerRoot is unknown");

        auto out = registry::outputResultInfo(resultInfo);
        if (!out) return PELOX_E_NO_RESULT_INFO;

        const std::string url = frame::toUtf8(session.serverRoot) + kStatusPage;
        for (const std::string& line : pelox::host::HttpReader().readLines(url)) {
            const size_t colon = line.find(':');
            if (colon == std::string::npos || colon == 0) continue;
            const std::u16string name = tarn::util::ConvertUTF8toString(std::string_view(line).substr(0, colon));
            out->appendName(name);
            frame::setArray(out->entry(name), {tarn::util::ConvertUTF8toString(std::string_view(line).substr(colon + 1))});
        }
        return PELOX_OK;
    });
}
