// Unknown handles, null arguments and unknown sessions for the session,
// server and catalogue exports: each ends in its documented code before any
// traffic (no server is running; a call that tried to connect would fail
// with a different code). Uses only the public header and the library.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "peloxImp.h"

namespace {

constexpr int32_t kBad = 0x7ffffff0;  // never issued as a handle
const pelox_char* const kNoSession = u"S00000000000000000000000000000000";
const pelox_char* const kUrl = u"http://127.0.0.1:9/qorvane/locator";

struct Case {
    const char* what;
    std::function<int32_t()> call;
    int32_t expected;
};

class ExportArguments : public ::testing::Test {
protected:
    void SetUp() override {
        str = peloxImp_createObject(PELOX_OBJECT_STRING);
        arr = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
        arr2 = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
        arr3 = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
        info = peloxImp_createObject(PELOX_OBJECT_PROTOCOL_INFO);
        result = peloxImp_createObject(PELOX_OBJECT_RESULT_INFO);
    }
    void TearDown() override {
        peloxImp_removeObject(PELOX_OBJECT_STRING, str);
        peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, arr);
        peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, arr2);
        peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, arr3);
        peloxImp_removeObject(PELOX_OBJECT_PROTOCOL_INFO, info);
        peloxImp_removeObject(PELOX_OBJECT_RESULT_INFO, result);
    }
    void run(const std::vector<Case>& cases) {
        for (const Case& c : cases) EXPECT_EQ(c.call(), c.expected) << c.what;
    }
    int32_t str = 0, arr = 0, arr2 = 0, arr3 = 0, info = 0, result = 0;
};

}  // namespace

TEST_F(ExportArguments, SessionAndServerExports) {
    run({
        {"login: handle checked before the null arguments",
         [&] { return pelox_login(nullptr, nullptr, nullptr, nullptr, kBad, nullptr); }, PELOX_E_NO_STRING},
        {"login: null url", [&] { return pelox_login(nullptr, u"u", u"p", nullptr, str, u"t"); }, PELOX_E_NULL_ARGUMENT},
        {"login: null user", [&] { return pelox_login(kUrl, nullptr, u"p", nullptr, str, u"t"); }, PELOX_E_NULL_ARGUMENT},
        {"login: null password", [&] { return pelox_login(kUrl, u"u", nullptr, nullptr, str, u"t"); },
         PELOX_E_NULL_ARGUMENT},
        {"configuration: handle", [&] { return pelox_getServerConfiguration(kUrl, kBad); }, PELOX_E_NO_RESULT_INFO},
        {"configuration: null url", [&] { return pelox_getServerConfiguration(nullptr, result); },
         PELOX_E_NULL_ARGUMENT},
        {"configuration: empty url", [&] { return pelox_getServerConfiguration(u"", result); }, PELOX_E_NULL_ARGUMENT},
        {"status: null session", [&] { return pelox_getServerStatus(nullptr, kBad); }, PELOX_E_NULL_ARGUMENT},
        {"status: session checked before the handle", [&] { return pelox_getServerStatus(kNoSession, kBad); },
         PELOX_E_NO_SESSION},
        {"calculable: handle", [&] { return pelox_getCalculablePropertiesByCategory(nullptr, kBad); },
         PELOX_E_NO_RESULT_INFO},
        {"calculable: null session", [&] { return pelox_getCalculablePropertiesByCategory(nullptr, result); },
         PELOX_E_NULL_ARGUMENT},
        {"calculable: unknown session", [&] { return pelox_getCalculablePropertiesByCategory(kNoSession, result); },
         PELOX_E_NO_SESSION},
    });
}

TEST_F(ExportArguments, CatalogueExports) {
    int32_t version = 7;
    run({
        {"listProtocols: first handle", [&] { return pelox_listProtocols(nullptr, nullptr, kBad, arr); },
         PELOX_E_NO_STRING_ARRAY},
        {"listProtocols: second handle", [&] { return pelox_listProtocols(nullptr, nullptr, arr, kBad); },
         PELOX_E_NO_STRING_ARRAY},
        {"listProtocols: null session", [&] { return pelox_listProtocols(nullptr, u"", arr, arr2); },
         PELOX_E_NULL_ARGUMENT},
        {"listProtocols: null folder", [&] { return pelox_listProtocols(kNoSession, nullptr, arr, arr2); },
         PELOX_E_NULL_ARGUMENT},
        {"listProtocols: unknown session", [&] { return pelox_listProtocols(kNoSession, u"", arr, arr2); },
         PELOX_E_NO_SESSION},
        {"listContents2: null job before the handles",
         [&] { return pelox_listContents2(kNoSession, nullptr, kBad, kBad, kBad, nullptr); }, PELOX_E_NULL_ARGUMENT},
        {"listContents2: null session", [&] { return pelox_listContents2(nullptr, nullptr, arr, arr2, arr3, u"j"); },
         PELOX_E_NULL_ARGUMENT},
        {"listContents2: folders handle", [&] { return pelox_listContents2(kNoSession, nullptr, kBad, arr2, arr3, u"j"); },
         PELOX_E_NO_STRING_ARRAY},
        {"listContents2: files handle", [&] { return pelox_listContents2(kNoSession, nullptr, arr, kBad, arr3, u"j"); },
         PELOX_E_NO_STRING_ARRAY},
        {"listContents2: sizes handle", [&] { return pelox_listContents2(kNoSession, nullptr, arr, arr2, kBad, u"j"); },
         PELOX_E_NO_STRING_ARRAY},
        {"listContents2: unknown session", [&] { return pelox_listContents2(kNoSession, u"", arr, arr2, arr3, u"j"); },
         PELOX_E_NO_SESSION},
        {"version: null output", [&] { return pelox_getProtocolVersion(kNoSession, u"P", nullptr); },
         PELOX_E_NULL_ARGUMENT},
        {"version: null component", [&] { return pelox_getProtocolVersion(kNoSession, nullptr, &version); },
         PELOX_E_NULL_ARGUMENT},
        {"version: unknown session", [&] { return pelox_getProtocolVersion(kNoSession, u"P", &version); },
         PELOX_E_NO_SESSION},
        {"parameters: handle", [&] { return pelox_getProtocolParameters(nullptr, nullptr, kBad, 0); },
         PELOX_E_NO_PROTOCOL_INFO},
        {"parameters: null component", [&] { return pelox_getProtocolParameters(kNoSession, nullptr, info, 0); },
         PELOX_E_NULL_ARGUMENT},
        {"parameters: unknown session", [&] { return pelox_getProtocolParameters(kNoSession, u"P", info, 0); },
         PELOX_E_NO_SESSION},
    });
    EXPECT_EQ(version, -1);
}

TEST_F(ExportArguments, ProtocolInfoExports) {
    pelox_bool flag = 0;
    const pelox_char* values[] = {u"v", nullptr};
    const pelox_char* emptyList[] = {nullptr};
    run({
        {"property: array handle first", [&] { return protocolInfo_getParameterProperty(kBad, 0, 50, kBad); },
         PELOX_E_NO_STRING_ARRAY},
        {"property: info handle", [&] { return protocolInfo_getParameterProperty(kBad, 0, 50, arr); },
         PELOX_E_NO_PROTOCOL_INFO},
        {"property: index on an empty object", [&] { return protocolInfo_getParameterProperty(info, 0, 50, arr); },
         PELOX_E_NO_PARAMETER},
        {"property: negative index", [&] { return protocolInfo_getParameterProperty(info, -1, 50, arr); },
         PELOX_E_NO_PARAMETER},
        {"forName: null name first", [&] { return protocolInfo_getParameterPropertyForName(kBad, nullptr, 50, kBad); },
         PELOX_E_NULL_ARGUMENT},
        {"forName: array handle", [&] { return protocolInfo_getParameterPropertyForName(kBad, u"x", 50, kBad); },
         PELOX_E_NO_STRING_ARRAY},
        {"forName: info handle", [&] { return protocolInfo_getParameterPropertyForName(kBad, u"x", 50, arr); },
         PELOX_E_NO_PROTOCOL_INFO},
        {"forName: unknown name", [&] { return protocolInfo_getParameterPropertyForName(info, u"x", 50, arr); },
         PELOX_E_NO_PARAMETER},
        {"type: null output", [&] { return protocolInfo_getParameterPropertyType(kBad, u"x", 0, 55, nullptr, 9); },
         PELOX_E_NULL_ARGUMENT},
        {"type: info handle", [&] { return protocolInfo_getParameterPropertyType(kBad, u"x", 0, 55, &flag, 9); },
         PELOX_E_NO_PROTOCOL_INFO},
        {"type: mode without 8", [&] { return protocolInfo_getParameterPropertyType(info, u"x", 0, 55, &flag, 1); },
         PELOX_E_LOOKUP_MODE},
        {"type: mode 8 alone", [&] { return protocolInfo_getParameterPropertyType(info, u"x", 0, 55, &flag, 8); },
         PELOX_E_LOOKUP_MODE},
        {"type: by name, null name", [&] { return protocolInfo_getParameterPropertyType(info, nullptr, 0, 55, &flag, 9); },
         PELOX_E_NULL_ARGUMENT},
        {"type: by name, unknown", [&] { return protocolInfo_getParameterPropertyType(info, u"x", 0, 55, &flag, 9); },
         PELOX_E_NO_PARAMETER},
        {"type: by index", [&] { return protocolInfo_getParameterPropertyType(info, nullptr, -1, 55, &flag, 10); },
         PELOX_E_NO_PARAMETER},
        {"setValues: handle", [&] { return protocolInfo_setParameterValues(kBad, 0, values); },
         PELOX_E_NO_PROTOCOL_INFO},
        {"setValues: index", [&] { return protocolInfo_setParameterValues(info, 0, values); }, PELOX_E_NO_PARAMETER},
        {"setValue: switch on an unknown handle", [&] { return protocolInfo_setParameterValue(kBad, -1, u"false"); },
         PELOX_E_NO_PROTOCOL_INFO},
        {"setValue: -1 with a non-boolean", [&] { return protocolInfo_setParameterValue(info, -1, u"maybe"); },
         PELOX_E_NO_PARAMETER},
        {"setOrAdd: null name", [&] { return protocolInfo_setOrAddParameter(kBad, nullptr, values); },
         PELOX_E_NULL_ARGUMENT},
        {"setOrAdd: empty name", [&] { return protocolInfo_setOrAddParameter(kBad, u"", values); },
         PELOX_E_NULL_ARGUMENT},
        {"setOrAdd: null list", [&] { return protocolInfo_setOrAddParameter(kBad, u"x", nullptr); },
         PELOX_E_NULL_ARGUMENT},
        {"setOrAdd: empty list", [&] { return protocolInfo_setOrAddParameter(kBad, u"x", emptyList); },
         PELOX_E_NULL_ARGUMENT},
        {"setOrAdd: handle", [&] { return protocolInfo_setOrAddParameter(kBad, u"x", values); },
         PELOX_E_NO_PROTOCOL_INFO},
        {"globalResult: null name", [&] { return protocolInfo_addGlobalPropertyResult(kBad, nullptr); },
         PELOX_E_NULL_ARGUMENT},
        {"globalResult: empty name", [&] { return protocolInfo_addGlobalPropertyResult(kBad, u""); },
         PELOX_E_NULL_ARGUMENT},
        {"globalResult: handle", [&] { return protocolInfo_addGlobalPropertyResult(kBad, u"Area"); },
         PELOX_E_NO_PROTOCOL_INFO},
        {"attribute: string handle", [&] { return protocolInfo_getProtocolStringAttribute(kBad, kBad, 1); },
         PELOX_E_NO_STRING},
        {"attribute: info handle", [&] { return protocolInfo_getProtocolStringAttribute(kBad, str, 1); },
         PELOX_E_NO_PROTOCOL_INFO},
        {"attribute: selector 0", [&] { return protocolInfo_getProtocolStringAttribute(info, str, 0); },
         PELOX_E_UNSUPPORTED},
        {"attribute: selector 5", [&] { return protocolInfo_getProtocolStringAttribute(info, str, 5); },
         PELOX_E_UNSUPPORTED},
        {"comment: string handle", [&] { return protocolInfo_getProtocolComment(info, kBad); }, PELOX_E_NO_STRING},
        {"description: info handle", [&] { return protocolInfo_getProtocolDescription(kBad, str); },
         PELOX_E_NO_PROTOCOL_INFO},
    });
}

// Editing a protocol info through the exports alone, without a server.
TEST_F(ExportArguments, EditingWithoutAServer) {
    const pelox_char* two[] = {u"a", u"b", nullptr};
    const pelox_char* one[] = {u"c", nullptr};
    const pelox_char* emptyList[] = {nullptr};
    ASSERT_EQ(protocolInfo_setOrAddParameter(info, u"Input", two), PELOX_OK);
    for (const pelox_char* reserved : {u"NoUI", u"noui", u"CLIENTTEMPDIRECTORY", u"WebExports"})
        EXPECT_EQ(protocolInfo_setOrAddParameter(info, reserved, one), PELOX_E_RESERVED_NAME);
    // Another letter case changes the existing parameter instead of adding one.
    EXPECT_EQ(protocolInfo_setOrAddParameter(info, u"INPUT", one), PELOX_OK);
    int32_t size = -1;
    ASSERT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_PROTOCOL_INFO, info, &size), 0);
    EXPECT_EQ(size, 1);

    ASSERT_EQ(protocolInfo_getParameterProperty(info, 0, PELOX_PROP_VALUES, arr), PELOX_OK);
    ASSERT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, arr, &size), 0);
    ASSERT_EQ(size, 1);
    EXPECT_EQ(std::u16string(stringArray_getTextAtIndex(arr, 0)), u"c");
    ASSERT_EQ(protocolInfo_getParameterPropertyForName(info, u"input", PELOX_PROP_TYPE, arr), PELOX_OK);
    EXPECT_EQ(std::u16string(stringArray_getTextAtIndex(arr, 0)), u"StringArrayType");

    // Unknown property numbers leave the array empty.
    for (int32_t n : {49, 65}) {
        EXPECT_EQ(protocolInfo_getParameterProperty(info, 0, n, arr), PELOX_E_NO_PROPERTY);
        ASSERT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, arr, &size), 0);
        EXPECT_EQ(size, 0);
    }
    pelox_bool flag = 1;
    EXPECT_EQ(protocolInfo_getParameterPropertyType(info, u"INPUT", 0, PELOX_PROP_REQUIRED, &flag, 9), PELOX_OK);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(protocolInfo_getParameterPropertyType(info, nullptr, 0, PELOX_PROP_NAME, &flag, 10), PELOX_E_NO_PROPERTY);

    EXPECT_EQ(protocolInfo_setParameterValues(info, 0, emptyList), PELOX_E_NULL_ARGUMENT);
    EXPECT_EQ(protocolInfo_setParameterValues(info, 0, nullptr), PELOX_E_NULL_ARGUMENT);
    EXPECT_EQ(protocolInfo_setParameterValue(info, 0, nullptr), PELOX_E_NULL_ARGUMENT);
    EXPECT_EQ(protocolInfo_setParameterValue(info, 0, u"d"), PELOX_OK);
    EXPECT_EQ(protocolInfo_setParameterValue(info, -1, u"false"), PELOX_OK);
    EXPECT_EQ(protocolInfo_addGlobalPropertyResult(info, u"Area"), PELOX_OK);

    // Option 107 reports an added parameter, which is added all the same.
    ASSERT_EQ(pelox_setPeloxOptions(PELOX_OPTION_VALIDATION_NOTICES, u"true"), 0);
    EXPECT_EQ(protocolInfo_setOrAddParameter(info, u"Second", one), PELOX_NOTICE_PARAMETER_ADDED);
    ASSERT_EQ(pelox_setPeloxOptions(PELOX_OPTION_VALIDATION_NOTICES, u"false"), 0);
    ASSERT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_PROTOCOL_INFO, info, &size), 0);
    EXPECT_EQ(size, 2);

    // Selector failures leave an empty string.
    ASSERT_EQ(protocolInfo_getProtocolStringAttribute(info, str, 9), PELOX_E_UNSUPPORTED);
    EXPECT_EQ(std::u16string(string_getText(str)), u"");
    EXPECT_EQ(protocolInfo_getProtocolStringAttribute(info, str, PELOX_ATTR_GUID), PELOX_OK);
}

// The listing exports look every output handle up before they empty any
// array: a call refused for an unknown handle leaves the caller's other
// arrays as they were.
TEST_F(ExportArguments, ListingKeepsArraysWhenAHandleIsUnknown) {
    const pelox_char* kept[] = {u"kept", nullptr};
    ASSERT_EQ(protocolInfo_setOrAddParameter(info, u"P", kept), PELOX_OK);
    const auto fill = [&](int32_t array) {
        ASSERT_EQ(protocolInfo_getParameterProperty(info, 0, PELOX_PROP_VALUES, array), PELOX_OK);
    };
    const auto size = [](int32_t array) {
        int32_t n = -1;
        EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, array, &n), 0);
        return n;
    };

    fill(arr);
    EXPECT_EQ(pelox_listProtocols(kNoSession, u"", arr, kBad), PELOX_E_NO_STRING_ARRAY);
    EXPECT_EQ(size(arr), 1);
    // Both known: both emptied before the session is checked.
    fill(arr);
    fill(arr2);
    EXPECT_EQ(pelox_listProtocols(kNoSession, u"", arr, arr2), PELOX_E_NO_SESSION);
    EXPECT_EQ(size(arr), 0);
    EXPECT_EQ(size(arr2), 0);

    fill(arr);
    fill(arr2);
    EXPECT_EQ(pelox_listContents2(kNoSession, nullptr, arr, arr2, kBad, u"j"), PELOX_E_NO_STRING_ARRAY);
    EXPECT_EQ(size(arr), 1);
    EXPECT_EQ(size(arr2), 1);
    EXPECT_EQ(pelox_listContents2(kNoSession, nullptr, arr, kBad, arr2, u"j"), PELOX_E_NO_STRING_ARRAY);
    EXPECT_EQ(size(arr), 1);
    EXPECT_EQ(size(arr2), 1);
    fill(arr3);
    EXPECT_EQ(pelox_listContents2(kNoSession, nullptr, arr, arr2, arr3, u"j"), PELOX_E_NO_SESSION);
    EXPECT_EQ(size(arr), 0);
    EXPECT_EQ(size(arr2), 0);
    EXPECT_EQ(size(arr3), 0);
}
