// Catalogue operations: listing, component info of both generations,
// parameter lookup, validation with its state, versions and the component
// management operations.
#include "emu_test.h"
#include "util.h"

#include <gtest/gtest.h>

using namespace emutest;

namespace {

class EmulatorCatalogue : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        emu_ = new Emulator();
        sid_ = emu_->login();
    }
    static void TearDownTestSuite() {
        delete emu_;
        emu_ = nullptr;
    }
    static HttpResponse xmldb(const std::string& name, const std::string& members) {
        return emu_->soap("/qorvane/xmldb", op(name, sidEl(sid_) + members));
    }
    static Emulator* emu_;
    static std::string sid_;
};
Emulator* EmulatorCatalogue::emu_ = nullptr;
std::string EmulatorCatalogue::sid_;

std::string base64(const std::string& s) { return emu::base64Encode(s); }

}  // namespace

TEST_F(EmulatorCatalogue, ListsFoldersProtocolsAndComponents) {
    EXPECT_EQ(xmlItems(xmldb("GetFolderNames", el("folder", "Examples")).body, "folderNames"),
              std::vector<std::string>{"Client Steps"});
    EXPECT_EQ(xmlItems(xmldb("GetComponentNames", el("folder", "/Examples")).body, "componentNames"),
              (std::vector<std::string>{"Add Numbers", "Shapes"}));
    // Components that are not protocols appear only in GetComponentNames.
    EXPECT_TRUE(xmlItems(xmldb("GetProtocolNames", el("folder", "Utilities/Components") + el("flags", "-1")).body,
                         "protocolNames").empty());
    EXPECT_EQ(xmlItems(xmldb("GetComponentNames", el("folder", "Utilities\\Components")).body, "componentNames"),
              std::vector<std::string>{"Text Splitter"});
    EXPECT_TRUE(isFault(xmldb("GetFolderNames", el("folder", "No Such Folder"))));
    EXPECT_TRUE(isFault(xmldb("GetFolderNames", el("folder", "../.."))));
}

TEST_F(EmulatorCatalogue, FirstGenerationInfoCarriesGuidAndExportsAsHiddenParameters) {
    auto r = xmldb("GetComponentInfo", el("componentName", "Examples/Shapes"));
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(xmlValue(r.body, "fullName"), "Examples/Shapes");
    EXPECT_EQ(xmlValue(r.body, "description"), "Describes a circle or a square.");
    EXPECT_NE(r.body.find("<name>ComponentGUID</name><type>text</type><class>hidden</class>"), std::string::npos)
        << r.body;
    EXPECT_NE(r.body.find("<item>{6A1F3C20-8D44-4E0B-9B7E-2C51A0D3E002}</item>"), std::string::npos);
    EXPECT_NE(r.body.find("<item>Shape,Size</item>"), std::string::npos);
    EXPECT_EQ(r.body.find("<name>Engine</name>"), std::string::npos);  // implementation parameters are second generation
    EXPECT_EQ(r.body.find("implementation"), std::string::npos);
    EXPECT_NE(r.body.find("<class>advanced</class>"), std::string::npos);
}

TEST_F(EmulatorCatalogue, SecondGenerationInfoAndParameterLookup) {
    auto r = xmldb("GetComponentInfo2", el("componentName", "Shapes") + el("flags", "0"));  // unique bare name
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_NE(r.body.find("<name>Engine</name>"), std::string::npos);
    EXPECT_NE(r.body.find("<implementation>true</implementation>"), std::string::npos);
    EXPECT_EQ(xmlItems(r.body.substr(r.body.find("<name>Engine</name>")), "members"),
              (std::vector<std::string>{"basic", "exact"}));
    EXPECT_EQ(r.body.find("ComponentGUID"), std::string::npos);

    auto guid = xmldb("FindParameterInfo2", el("componentName", "Examples/Shapes") +
                                                 el("parameterName", "ComponentGUID") + el("flags", "0"));
    EXPECT_EQ(xmlItems(guid.body, "values"), std::vector<std::string>{"{6A1F3C20-8D44-4E0B-9B7E-2C51A0D3E002}"});
    auto exports = xmldb("FindParameterInfo2", el("componentName", "Utilities/Always Fails") +
                                                    el("parameterName", "WebExports") + el("flags", "0"));
    EXPECT_EQ(xmlItems(exports.body, "values"), std::vector<std::string>{""});  // one empty value, never none
    auto byName = xmldb("FindParameterInfo2", el("componentName", "Examples/Shapes") +
                                                   el("parameterName", "Colour") + el("flags", "0"));
    EXPECT_EQ(xmlValue(byName.body, "help"), "Colour; the choice depends on the shape.");
    EXPECT_TRUE(isFault(xmldb("FindParameterInfo2", el("componentName", "Examples/Shapes") +
                                                        el("parameterName", "Nope") + el("flags", "0"))));
    EXPECT_TRUE(isFault(xmldb("GetComponentInfo2", el("componentName", "Examples/Missing") + el("flags", "0"))));
    EXPECT_TRUE(isFault(xmldb("GetComponentInfo2", el("componentName", "../../etc/passwd") + el("flags", "0"))));
}

TEST_F(EmulatorCatalogue, ValidationComputesVerdictsAndChecksItsState) {
    auto first = xmldb("ValidateParameters",
                       el("componentName", "Examples/Shapes") +
                           pairArray("parameterValues", {{"Shape", {"Square"}}, {"Side", {""}}, {"Colour", {"Blue"}}}));
    ASSERT_EQ(first.status, 200) << first.body;
    auto side = first.body.substr(first.body.find("<name>Side</name>"));
    EXPECT_EQ(xmlValue(side, "isValid"), "false");
    EXPECT_EQ(xmlValue(side, "invalidDetails"), "A value is required for Side");
    auto radius = first.body.substr(first.body.find("<name>Radius</name>"));
    EXPECT_EQ(xmlValue(radius, "isEnabled"), "false");
    auto colour = first.body.substr(first.body.find("<name>Colour</name>"));
    EXPECT_EQ(xmlValue(colour, "isValid"), "true");
    EXPECT_EQ(xmlItems(colour, "legalValues"), (std::vector<std::string>{"Blue", "Black"}));
    std::string state = xmlValue(first.body, "validationState");
    ASSERT_FALSE(state.empty());

    // The state returned goes back with the next call; a forged one is refused.
    auto second = xmldb("ValidateParameters", el("componentName", "Examples/Shapes") +
                                                  el("validationState", state) +
                                                  pairArray("parameterValues", {{"Shape", {"Circle"}}}));
    EXPECT_EQ(second.status, 200) << second.body;
    EXPECT_NE(xmlValue(second.body, "validationState"), state);
    auto forged = xmldb("ValidateParameters", el("componentName", "Examples/Shapes") +
                                                  el("validationState", base64("QVS1;99;0000000000000000")) +
                                                  pairArray("parameterValues", {}));
    EXPECT_TRUE(isFault(forged));
    auto otherProtocol = xmldb("ValidateParameters", el("componentName", "Examples/Add Numbers") +
                                                         el("validationState", state) + pairArray("parameterValues", {}));
    EXPECT_TRUE(isFault(otherProtocol));
}

TEST_F(EmulatorCatalogue, RegisterExportMoveAndDeleteComponents) {
    std::string xml =
        "<component type=\"protocol\" name=\"Imported\"><properties><property key=\"Registrant\" kind=\"text\">"
        "<value>importer</value></property></properties><parameters><parameter name=\"P\"><value>1</value>"
        "</parameter></parameters><script><step kind=\"setResult\" name=\"R\" fromParameter=\"P\"/></script>"
        "</component>";
    // Raw deflate (older servers) and zlib streams are both accepted.
    auto reg = xmldb("RegisterComponentZipped",
                     el("folder", "Imports/New") + el("componentXML", base64(emu::compress(xml, false))));
    ASSERT_EQ(reg.status, 200) << reg.body;
    std::string guid = xmlValue(reg.body, "newComponentGUID");
    EXPECT_EQ(guid.size(), 38u);
    auto again = xmldb("RegisterComponentZipped",
                       el("folder", "Imports/New") + el("componentXML", base64(emu::compress(xml, true))));
    EXPECT_EQ(xmlValue(again.body, "newComponentGUID"), guid);  // same component, new version
    EXPECT_EQ(xmlItems(xmldb("GetComponentVersions", el("componentName", "Imports/New/Imported")).body, "versions"),
              (std::vector<std::string>{"1", "2"}));

    auto latest = xmldb("GetComponentVersionZipped",
                        el("componentName", "Imports/New/Imported") + el("componentVersion", "-1"));
    EXPECT_EQ(xmlValue(latest.body, "componentVersion"), "2");
    EXPECT_EQ(xmlValue(latest.body, "fullName"), "Imports/New/Imported");
    auto zipped = emu::base64Decode(xmlValue(latest.body, "componentXML"));
    ASSERT_TRUE(zipped);
    EXPECT_EQ(static_cast<unsigned char>((*zipped)[0]), 0x78);  // version 8 server: zlib stream
    std::string stored = emu::decompress(*zipped, 1 << 20);
    EXPECT_NE(stored.find(guid), std::string::npos);
    EXPECT_NE(stored.find("<value>importer</value>"), std::string::npos);  // the registrant is kept
    auto v1 = xmldb("GetComponentVersionZipped",
                    el("componentName", "Imports/New/Imported") + el("componentVersion", "1"));
    EXPECT_EQ(xmlValue(v1.body, "componentVersion"), "1");
    EXPECT_TRUE(isFault(xmldb("GetComponentVersionZipped",
                              el("componentName", "Imports/New/Imported") + el("componentVersion", "7"))));

    EXPECT_EQ(xmldb("MoveComponent", el("oldComponentLocation", "Imports/New/Imported") +
                                         el("newComponentLocation", "Imports/Renamed")).status, 200);
    EXPECT_TRUE(isFault(xmldb("GetComponentInfo2", el("componentName", "Imports/New/Imported") + el("flags", "0"))));
    auto moved = xmldb("GetComponentInfo2", el("componentName", "Imports/Renamed") + el("flags", "0"));
    EXPECT_EQ(xmlValue(moved.body, "fullName"), "Imports/Renamed");
    EXPECT_EQ(xmlItems(xmldb("GetComponentVersions", el("componentName", "Imports/Renamed")).body, "versions").size(), 2u);
    EXPECT_TRUE(isFault(xmldb("MoveComponent", el("oldComponentLocation", "Imports/Renamed") +
                                                   el("newComponentLocation", "../../outside"))));

    EXPECT_EQ(xmldb("UnRegisterComponent", el("fullComponentPath", "Imports/Renamed")).status, 200);
    EXPECT_TRUE(isFault(xmldb("UnRegisterComponent", el("fullComponentPath", "Imports/Renamed"))));

    // Damaged or hostile uploads are refused with a fault.
    EXPECT_TRUE(isFault(xmldb("RegisterComponentZipped", el("folder", "Imports") + el("componentXML", base64("junk")))));
    EXPECT_TRUE(isFault(xmldb("RegisterComponentZipped",
                              el("folder", "../escape") + el("componentXML", base64(emu::compress(xml, true))))));
    std::string evil = "<component name=\"../../evil\"/>";
    EXPECT_TRUE(isFault(xmldb("RegisterComponentZipped",
                              el("folder", "Imports") + el("componentXML", base64(emu::compress(evil, true))))));
}

TEST_F(EmulatorCatalogue, CalculablePropertiesWithAndWithoutCategories) {
    auto byCat = xmldb("GetCalculablePropertiesByCategory", "");
    EXPECT_NE(byCat.body.find("<calculabesByCategory"), std::string::npos);
    EXPECT_NE(byCat.body.find("<name>Molecular</name>"), std::string::npos);
    auto flat = xmlItems(xmldb("GetCalculableProperties", "").body, "calcProperties");
    EXPECT_EQ(flat.size(), 7u);
    EXPECT_EQ(flat.front(), "MolecularWeight");
}
