// The status page: pelox_getServerStatus reads the page over HTTP and splits
// it into names and values. A canned server on the loopback interface plays
// the workflow server for one login and then serves the input as the page.
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>

#include "canned_server.h"
#include "peloxImp.h"

namespace {

std::mutex gPageMutex;
std::string gPage;

struct Session {
    pelox::bench::CannedWorkflowServer server{2};
    std::u16string id;
    int32_t result = peloxImp_createObject(PELOX_OBJECT_RESULT_INFO);
    int32_t names = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    int32_t values = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);

    Session() {
        server.statusPage = [] {
            std::lock_guard<std::mutex> lock(gPageMutex);
            return gPage;
        };
        const std::string url = server.locatorUrl();
        const std::u16string locator(url.begin(), url.end());
        const int32_t text = peloxImp_createObject(PELOX_OBJECT_STRING);
        if (pelox_login(locator.c_str(), u"fuzz", u"secret", nullptr, text, u"fuzz") != 0) std::abort();
        id = reinterpret_cast<const char16_t*>(string_getText(text));
        peloxImp_removeObject(PELOX_OBJECT_STRING, text);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Session session;
    {
        std::lock_guard<std::mutex> lock(gPageMutex);
        gPage.assign(reinterpret_cast<const char*>(data), size);
    }
    const int32_t rc = pelox_getServerStatus(session.id.c_str(), session.result);
    if (rc != 0) std::abort();  // every page that arrives is read
    int32_t count = 0;
    resultInfo_getNames(session.result, session.names);
    peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, session.names, &count);
    for (int32_t i = 0; i < count; ++i) {
        const pelox_char* name = stringArray_getTextAtIndex(session.names, static_cast<uint32_t>(i));
        if (!name) std::abort();
        // (A name with a NUL in it is found under its text before the NUL,
        // or not at all: either answer is fine.)
        resultInfo_getValues(session.result, name, session.values);
    }
    return 0;
}
