// pelox_getProtocolParameters and the protocol-info exports against the
// emulator: both generations of the component description, the flag bits,
// hidden parameters, lazy attributes and validation round trips.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "catalogue/e2e_helpers.h"

using namespace pelox::e2e;
using pelox::testsupport::Emulator;

namespace {

constexpr const pelox_char* kShapes = u"Examples/Shapes";
constexpr const char* kShapesGuid = "{6A1F3C20-8D44-4E0B-9B7E-2C51A0D3E002}";

Texts property(const Info& info, int32_t index, int32_t number, int32_t* code = nullptr) {
    Array out;
    const int32_t rc = protocolInfo_getParameterProperty(info, index, number, out);
    if (code) {
        *code = rc;
    } else {
        EXPECT_EQ(rc, 0) << "property " << number << " of " << index << ": " << errorText(rc);
    }
    return out.texts();
}

Texts parameterNames(const Info& info) {
    Texts names;
    for (int32_t i = 0; i < info.size(); ++i) names.push_back(property(info, i, PELOX_PROP_NAME).at(0));
    return names;
}

bool boolProperty(const Info& info, const pelox_char* name, int32_t number, int32_t* code = nullptr) {
    pelox_bool value = 2;
    const int32_t rc = protocolInfo_getParameterPropertyType(info, name, 0, number, &value,
                                                             PELOX_KIND_BOOLEAN | PELOX_LOOKUP_BY_NAME);
    if (code) {
        *code = rc;
    } else {
        EXPECT_EQ(rc, 0) << errorText(rc);
    }
    return value == 1;
}

std::u16string attribute(const Info& info, int32_t selector) {
    String s;
    const int32_t rc = protocolInfo_getProtocolStringAttribute(info, s, selector);
    EXPECT_EQ(rc, 0) << errorText(rc);
    return s.text();
}

}  // namespace

TEST(ProtocolParameters, SecondGenerationAndFlagBits) {
    Emulator emu;
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    Info info;
    ASSERT_EQ(pelox_getProtocolParameters(id.c_str(), kShapes, info, 0), 0);
    EXPECT_EQ(parameterNames(info), (Texts{u"Shape", u"Radius", u"Side", u"Colour", u"Tags"}));
    EXPECT_EQ(emu.count("GetComponentInfo2"), 1u);
    EXPECT_EQ(emu.count("GetComponentInfo"), 0u);
    EXPECT_EQ(property(info, 0, PELOX_PROP_HELP), Texts{u"Circle or Square."});
    EXPECT_EQ(property(info, 0, PELOX_PROP_VALUES), Texts{u"Circle"});
    EXPECT_EQ(property(info, 0, PELOX_PROP_REQUIRED), Texts{u"true"});
    EXPECT_EQ(property(info, 4, PELOX_PROP_MULTIPLE_SELECT), Texts{u"true"});
    EXPECT_EQ(attribute(info, PELOX_ATTR_COMMENT), u"Shows validation rules.");
    EXPECT_EQ(attribute(info, PELOX_ATTR_DESCRIPTION), u"Describes a circle or a square.");
    EXPECT_EQ(attribute(info, PELOX_ATTR_FULL_NAME), u"Examples/Shapes");
    String s;
    EXPECT_EQ(protocolInfo_getProtocolComment(info, s), 0);
    EXPECT_EQ(s.text(), u"Shows validation rules.");
    EXPECT_EQ(protocolInfo_getProtocolDescription(info, s), 0);
    EXPECT_EQ(s.text(), u"Describes a circle or a square.");

    ASSERT_EQ(pelox_getProtocolParameters(id.c_str(), kShapes, info, PELOX_PARAMS_ADVANCED), 0);
    EXPECT_EQ(info.size(), 6);
    EXPECT_TRUE(boolProperty(info, u"precision", PELOX_PROP_ADVANCED));
    EXPECT_FALSE(boolProperty(info, u"Shape", PELOX_PROP_ADVANCED));

    ASSERT_EQ(pelox_getProtocolParameters(id.c_str(), kShapes, info, PELOX_PARAMS_IMPLEMENTATION), 0);
    EXPECT_EQ(info.size(), 6);
    EXPECT_TRUE(boolProperty(info, u"Engine", PELOX_PROP_IMPLEMENTATION));
    Array members;
    ASSERT_EQ(protocolInfo_getParameterPropertyForName(info, u"engine", PELOX_PROP_MEMBERS, members), 0);
    EXPECT_EQ(members.texts(), (Texts{u"basic", u"exact"}));

    ASSERT_EQ(pelox_getProtocolParameters(id.c_str(), kShapes, info, 3), 0);
    EXPECT_EQ(info.size(), 7);
}

TEST(ProtocolParameters, ClassAndNameTests) {
    Emulator emu;
    std::filesystem::create_directories(emu.root() / "catalogue" / "Tests");
    std::ofstream(emu.root() / "catalogue" / "Tests" / "Edge.xml") << R"(<component type="protocol" name="Edge">
  <parameters>
    <parameter name="Plain" class="normal"><value>one</value></parameter>
    <parameter name="Capital" class="Normal"/>
    <parameter name="NoClass" class=""/>
    <parameter name="Other" class="expert"/>
    <parameter name="noui" class="normal"/>
    <parameter name="CLIENTTEMPDIRECTORY" class="normal"/>
    <parameter name="WebExports" class="normal"/>
    <parameter name="ComponentAttributes" class="normal"/>
    <parameter name="OnDataTypeError" class="normal"/>
    <parameter name="OnGeneralError" class="normal"/>
    <parameter name="componenthelp" class="normal"/>
    <parameter name="" class="normal"/>
    <parameter name="PLAIN" class="normal"><value>two</value></parameter>
  </parameters>
</component>)";
    std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    for (int generation = 0; generation < 2; ++generation) {
        Info info;
        ASSERT_EQ(pelox_getProtocolParameters(id.c_str(), u"Tests/Edge", info, PELOX_PARAMS_ADVANCED), 0);
        EXPECT_EQ(parameterNames(info), (Texts{u"Plain", u"PLAIN"})) << generation;
        // Names differing only in case share one index entry: the later wins.
        Array values;
        ASSERT_EQ(protocolInfo_getParameterPropertyForName(info, u"plain", PELOX_PROP_VALUES, values), 0);
        EXPECT_EQ(values.texts(), Texts{u"two"});
        emu.setProfile("without-method=GetComponentInfo2");
        id = login(emu);
        ASSERT_FALSE(id.empty());
    }
}

TEST(ProtocolParameters, FirstGenerationCarriesAttributesAsHiddenParameters) {
    Emulator emu({"--without-method", "GetComponentInfo2"});
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    Info info;
    ASSERT_EQ(pelox_getProtocolParameters(id.c_str(), kShapes, info, 3), 0);
    EXPECT_EQ(emu.count("GetComponentInfo"), 1u);
    EXPECT_EQ(emu.count("GetComponentInfo2"), 0u);
    EXPECT_EQ(parameterNames(info), (Texts{u"Shape", u"Radius", u"Side", u"Colour", u"Tags", u"Precision"}));
    EXPECT_EQ(property(info, 0, PELOX_PROP_MEMBERS), Texts{});
    EXPECT_EQ(property(info, 0, PELOX_PROP_IMPLEMENTATION), Texts{u"false"});
    // The GUID came with the answer; nothing more is asked.
    EXPECT_EQ(attribute(info, PELOX_ATTR_GUID), u16(kShapesGuid));
    EXPECT_EQ(protocolInfo_addGlobalPropertyResult(info, u"Area"), 0);
    EXPECT_EQ(emu.count("FindParameterInfo2"), 0u);
    // Without ValidateParameters on the server, reads never validate.
    EXPECT_EQ(property(info, 0, PELOX_PROP_LEGAL_VALUES), (Texts{u"Circle", u"Square"}));
    EXPECT_EQ(emu.count("ValidateParameters"), 0u);
}

TEST(ProtocolParameters, AttributesAreFetchedLazilyOnce) {
    Emulator emu;
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    Info info;
    ASSERT_EQ(pelox_getProtocolParameters(id.c_str(), kShapes, info, 0), 0);
    EXPECT_EQ(emu.count("FindParameterInfo2"), 0u);
    EXPECT_EQ(attribute(info, PELOX_ATTR_GUID), u16(kShapesGuid));
    EXPECT_EQ(attribute(info, PELOX_ATTR_GUID), u16(kShapesGuid));
    EXPECT_EQ(emu.count("FindParameterInfo2"), 1u);
    EXPECT_EQ(protocolInfo_addGlobalPropertyResult(info, u"Area"), 0);
    EXPECT_EQ(protocolInfo_addGlobalPropertyResult(info, u"Mass"), 0);
    EXPECT_EQ(emu.count("FindParameterInfo2"), 2u);  // the exports, once

    // A failed fetch is reported with its call.
    ASSERT_EQ(pelox_getProtocolParameters(id.c_str(), kShapes, info, 0), 0);
    emu.addFault("op=FindParameterInfo2&kind=soap-fault&count=1");
    const int32_t rc = protocolInfo_addGlobalPropertyResult(info, u"Area");
    ASSERT_GT(rc, 0);
    EXPECT_NE(errorText(rc).find("soap call to FindParameterInfo2() failed"), std::string::npos);

    // Servers without FindParameterInfo2: the GUID stays empty, nothing is sent.
    emu.setProfile("without-method=FindParameterInfo2");
    const std::u16string older = login(emu);
    emu.resetCounts();
    ASSERT_EQ(pelox_getProtocolParameters(older.c_str(), kShapes, info, 0), 0);
    EXPECT_EQ(attribute(info, PELOX_ATTR_GUID), u"");
    EXPECT_EQ(protocolInfo_addGlobalPropertyResult(info, u"Area"), 0);
    EXPECT_EQ(emu.count("FindParameterInfo2"), 0u);
}

TEST(ProtocolParameters, ValidationOncePerChange) {
    Emulator emu;
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    Info info;
    ASSERT_EQ(pelox_getProtocolParameters(id.c_str(), kShapes, info, 0), 0);
    EXPECT_EQ(emu.count("ValidateParameters"), 0u);

    // values (53) is not a validated property.
    EXPECT_EQ(property(info, 3, PELOX_PROP_VALUES), Texts{u"Red"});
    EXPECT_EQ(emu.count("ValidateParameters"), 0u);
    EXPECT_EQ(property(info, 3, PELOX_PROP_LEGAL_VALUES), (Texts{u"Red", u"Green"}));
    EXPECT_EQ(emu.count("ValidateParameters"), 1u);
    EXPECT_EQ(property(info, 3, PELOX_PROP_LEGAL_VALUES), (Texts{u"Red", u"Green"}));
    EXPECT_TRUE(boolProperty(info, u"Radius", PELOX_PROP_IS_ENABLED));
    EXPECT_FALSE(boolProperty(info, u"Side", PELOX_PROP_IS_ENABLED));
    EXPECT_EQ(emu.count("ValidateParameters"), 1u);

    // A change validates again, sending back the server's state (the
    // emulator refuses a state that is not the one it handed out).
    ASSERT_EQ(protocolInfo_setParameterValue(info, 0, u"Square"), 0);
    EXPECT_EQ(property(info, 3, PELOX_PROP_LEGAL_VALUES), (Texts{u"Blue", u"Black"}));
    EXPECT_EQ(emu.count("ValidateParameters"), 2u);
    EXPECT_FALSE(boolProperty(info, u"Radius", PELOX_PROP_IS_ENABLED));
    EXPECT_TRUE(boolProperty(info, u"Side", PELOX_PROP_IS_ENABLED));
    // The boolean reader validates too, once.
    const pelox_char* both[] = {u"Circle", nullptr};
    ASSERT_EQ(protocolInfo_setParameterValues(info, 0, both), 0);
    EXPECT_TRUE(boolProperty(info, u"Radius", PELOX_PROP_IS_ENABLED));
    EXPECT_EQ(emu.count("ValidateParameters"), 3u);
    // Another value of the same parameter, in other letter case.
    const pelox_char* square[] = {u"Square", nullptr};
    ASSERT_EQ(protocolInfo_setOrAddParameter(info, u"SHAPE", square), 0);
    EXPECT_EQ(info.size(), 5);
    EXPECT_EQ(property(info, 3, PELOX_PROP_LEGAL_VALUES), (Texts{u"Blue", u"Black"}));
    EXPECT_EQ(emu.count("ValidateParameters"), 4u);

    // A failed validation is reported and tried again on the next read.
    ASSERT_EQ(protocolInfo_setParameterValue(info, 0, u"Circle"), 0);
    emu.addFault("op=ValidateParameters&kind=soap-fault&count=1");
    int32_t rc = 0;
    property(info, 3, PELOX_PROP_LEGAL_VALUES, &rc);
    ASSERT_GT(rc, 0);
    EXPECT_NE(errorText(rc).find("soap call to ValidateParameters() failed"), std::string::npos);
    EXPECT_EQ(property(info, 3, PELOX_PROP_LEGAL_VALUES), (Texts{u"Red", u"Green"}));
}

TEST(ProtocolParameters, ValidationSwitchedOffAndNotices) {
    Emulator emu;
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    Info info;
    ASSERT_EQ(pelox_getProtocolParameters(id.c_str(), kShapes, info, 0), 0);
    ASSERT_EQ(protocolInfo_setParameterValue(info, -1, u"false"), 0);
    int32_t rc = 0;
    // The last known value is still delivered.
    EXPECT_EQ(property(info, 0, PELOX_PROP_LEGAL_VALUES, &rc), (Texts{u"Circle", u"Square"}));
    EXPECT_EQ(rc, PELOX_E_VALIDATION_OFF);
    boolProperty(info, u"Side", PELOX_PROP_IS_ENABLED, &rc);
    EXPECT_EQ(rc, PELOX_E_VALIDATION_OFF);
    EXPECT_EQ(emu.count("ValidateParameters"), 0u);

    ASSERT_EQ(protocolInfo_setParameterValue(info, -1, u"true"), 0);
    ASSERT_EQ(pelox_setPeloxOptions(PELOX_OPTION_VALIDATION_NOTICES, u"true"), 0);
    EXPECT_EQ(property(info, 3, PELOX_PROP_LEGAL_VALUES, &rc), (Texts{u"Red", u"Green"}));
    EXPECT_EQ(rc, PELOX_NOTICE_VALIDATED);
    const pelox_char* value[] = {u"x", nullptr};
    EXPECT_EQ(protocolInfo_setOrAddParameter(info, u"Extra", value), PELOX_NOTICE_PARAMETER_ADDED);
    EXPECT_EQ(info.size(), 6);
    ASSERT_EQ(pelox_setPeloxOptions(PELOX_OPTION_VALIDATION_NOTICES, u"false"), 0);
    // The caller's parameter is not sent for validation (the server would
    // not know it); the server's parameters still validate.
    EXPECT_EQ(property(info, 3, PELOX_PROP_LEGAL_VALUES), (Texts{u"Red", u"Green"}));
    EXPECT_EQ(emu.count("ValidateParameters"), 2u);
}

TEST(ProtocolParameters, FailedRetrievalLeavesTheObjectEmpty) {
    Emulator emu;
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    Info info;
    ASSERT_EQ(pelox_getProtocolParameters(id.c_str(), kShapes, info, 0), 0);
    emu.addFault("op=GetComponentInfo2&kind=soap-fault&detail=No%20such%20protocol&count=1");
    const int32_t rc = pelox_getProtocolParameters(id.c_str(), kShapes, info, 0);
    ASSERT_GT(rc, 0);
    EXPECT_EQ(errorText(rc).rfind("No such protocol", 0), 0u);
    EXPECT_EQ(info.size(), 0);
    EXPECT_EQ(attribute(info, PELOX_ATTR_FULL_NAME), u"");
    emu.addFault("op=GetComponentInfo2&kind=malformed&count=1");
    EXPECT_EQ(pelox_getProtocolParameters(id.c_str(), kShapes, info, 0), PELOX_E_SERVICE_CALL);
    EXPECT_EQ(info.size(), 0);
}
