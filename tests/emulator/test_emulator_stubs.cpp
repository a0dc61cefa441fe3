// The emulator against the generated gSOAP client stubs, the same layer the
// library calls through: replies must decode into the expected records
// (derived responses, arrays, enums, base64, faults with detail pieces).
#include "emu_test.h"
#include "util.h"

#include "soapH.h"
#include "wire/namespaces.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace emutest;

namespace {

struct Client {
    Client() : soap(soap_new1(SOAP_C_UTFSTRING)) { pelox::wire::installNamespaces(soap); }
    ~Client() {
        soap_destroy(soap);
        soap_end(soap);
        soap_free(soap);
    }
    struct soap* soap;
};

// For arguments of one call only: the pointer dies with the temporary.
char* s(const std::string& text) { return const_cast<char*>(text.c_str()); }

}  // namespace

TEST(EmulatorStubs, SessionConfigurationAndVersionCheckDecode) {
    Emulator e({"--compatibility", "unknown", "--version-comparison", "client-newer"});
    Client c;
    std::string locator = e.locatorUrl();
    qor__ListMethodsResponse methods;
    ASSERT_EQ(soap_call_qor__ListMethods(c.soap, locator.c_str(), "", nullptr, methods), SOAP_OK);
    EXPECT_NE(std::string(methods.methods).find("CheckClientTypeCompatibility"), std::string::npos);

    qor__CheckSkerrowClientVersionResponse info;
    ASSERT_EQ(soap_call_qor__CheckClientTypeCompatibility(c.soap, locator.c_str(), "", s("{pelox} t"), s("8.5.0.0"), 0, info),
              SOAP_OK);
    EXPECT_EQ(info.clientCompatibleEnum, CompatibilityUnknown);
    EXPECT_EQ(info.versionComparisonEnum, ClientIsNewerThanServer);
    EXPECT_EQ(info.serverApiVersion, 8);

    qor__LoginResponse login;
    ASSERT_EQ(soap_call_qor__Login(c.soap, locator.c_str(), "", s("ann"), s("secret"), s("{pelox} t"), s("8.5.0.0"),
                                   s("box"), login),
              SOAP_OK);
    ASSERT_TRUE(login.sessionID);

    qor__GetConfigurationSettingsResponse config;
    ASSERT_EQ(soap_call_qor__GetConfigurationSettings(c.soap, locator.c_str(), "", config), SOAP_OK);
    ASSERT_TRUE(config.settings);
    std::map<std::string, int> sizes;
    for (int i = 0; i < config.settings->__size; ++i)
        sizes[config.settings->__ptr[i].name] = config.settings->__ptr[i].values ? config.settings->__ptr[i].values->__size : -1;
    EXPECT_EQ(sizes["FILEENDPOINT"], 1);
    EXPECT_EQ(sizes["CLUSTERMETHOD"], 0);

    // A fault arrives as a SOAP fault whose detail holds the pieces.
    e.addFault("op=Login&kind=soap-fault&string=No%20entry&detail=one%7C%23%7Ctwo&count=1");
    qor__LoginResponse refused;
    EXPECT_EQ(soap_call_qor__Login(c.soap, locator.c_str(), "", s("ann"), s("secret"), s("x"), s("8.5.0.0"), s("box"),
                                   refused),
              SOAP_SVR_FAULT);
    ASSERT_TRUE(c.soap->fault && c.soap->fault->detail && c.soap->fault->detail->__any);
    EXPECT_EQ(std::string(c.soap->fault->detail->__any), "one|#|two");
    EXPECT_EQ(std::string(c.soap->fault->faultstring), "No entry");
}

TEST(EmulatorStubs, CatalogueValidationAndJobRecordsDecode) {
    Emulator e;
    std::string sid = e.login();
    Client c;
    std::string xmldb = e.baseUrl() + "/qorvane/xmldb", runner = e.baseUrl() + "/qorvane/runner",
                file = e.baseUrl() + "/qorvane/file";

    qor__GetComponentInfoResponse2 info;
    ASSERT_EQ(soap_call_qor__GetComponentInfo2(c.soap, xmldb.c_str(), "", s(sid), s("Examples/Shapes"), 0, info), SOAP_OK);
    ASSERT_TRUE(info.parameters);
    EXPECT_EQ(info.parameters->__size, 7);
    EXPECT_STREQ(info.parameters->__ptr[6].name, "Engine");
    EXPECT_TRUE(info.parameters->__ptr[6].implementation);
    EXPECT_EQ(info.parameters->__ptr[6].members->__size, 2);

    // Validation: the items and the state arrive; the state goes back.
    auto* values = soap_new_ArrayOfNameValuePair(c.soap);
    values->__size = 1;
    values->__ptr = soap_new_qor__NameValuePair(c.soap, 1);
    static char shape[] = "Shape";
    static char square[] = "Square";
    static char* squareItems[] = {square};
    values->__ptr[0].name = shape;
    values->__ptr[0].values = soap_new_ArrayOfString(c.soap);
    values->__ptr[0].values->__size = 1;
    values->__ptr[0].values->__ptr = squareItems;
    qor__ValidateParametersResponse v1;
    ASSERT_EQ(soap_call_qor__ValidateParameters(c.soap, xmldb.c_str(), "", s(sid), s("Examples/Shapes"), nullptr, values, v1),
              SOAP_OK);
    ASSERT_EQ(v1.__sizeitem, 7);
    EXPECT_STREQ(v1.item[2].name, "Side");
    EXPECT_FALSE(v1.item[2].isValid);
    EXPECT_FALSE(v1.item[1].isEnabled);
    ASSERT_TRUE(v1.validationState && v1.validationState->__size > 0);
    qor__ValidateParametersResponse v2;
    EXPECT_EQ(soap_call_qor__ValidateParameters(c.soap, xmldb.c_str(), "", s(sid), s("Examples/Shapes"), v1.validationState,
                                                values, v2),
              SOAP_OK);

    qor__LaunchJobResponse launched;
    ASSERT_EQ(soap_call_qor__LaunchJob(c.soap, runner.c_str(), "", s(sid), nullptr, s("Utilities/Slow Job"), nullptr, launched),
              SOAP_OK);
    std::string job = launched.jobID;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    qor__GetJobStatisticsResponse stats;
    ASSERT_EQ(soap_call_qor__GetJobStatistics(c.soap, runner.c_str(), "", s(sid), s(job), s(""), stats), SOAP_OK);
    ASSERT_TRUE(stats.numOutsTrue && stats.numOutsFalse && stats.componentIDs);
    EXPECT_EQ(stats.numOutsTrue->__ptr[0], -9999);
    EXPECT_EQ(stats.numOutsFalse->__ptr[0], -9999);
    EXPECT_STREQ(stats.componentIDs->__ptr[0], "Waiting 2000 ms");
    qor__EmptyResponse empty;
    EXPECT_EQ(soap_call_qor__StopJob(c.soap, runner.c_str(), "", s(sid), s(job), empty), SOAP_OK);
    qor__GetJobStatusResponse st;
    ASSERT_EQ(soap_call_qor__GetJobStatus(c.soap, runner.c_str(), "", s(sid), s(job), st), SOAP_OK);
    EXPECT_EQ(st.status, 6);

    qor__GetFolderContentsResponse listing;
    ASSERT_EQ(soap_call_qor__GetFolderContents(c.soap, file.c_str(), "", s(sid), s("catalogue/Examples"), listing), SOAP_OK);
    ASSERT_TRUE(listing.folderContents);
    EXPECT_EQ(listing.folderContents->__size, 3);
    EXPECT_STREQ(listing.folderContents->__ptr[0].name, "Add Numbers.xml");

    qor__DownloadFileZippedResponse zipped;
    ASSERT_EQ(soap_call_qor__DownloadFileZipped(c.soap, file.c_str(), "", s(sid), s("catalogue/Examples/Shapes.xml"), zipped),
              SOAP_OK);
    ASSERT_TRUE(zipped.zippedData);
    std::string bytes(reinterpret_cast<char*>(zipped.zippedData->__ptr), size_t(zipped.zippedData->__size));
    EXPECT_NE(emu::decompress(bytes, 1 << 20).find("name=\"Shapes\""), std::string::npos);
}
