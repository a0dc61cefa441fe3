// Helpers of the emulator that both sides of the wire depend on: the two
// compressed forms, session credentials, property collection XML, path
// confinement and the validation rules.
#include "catalogue.h"
#include "props.h"
#include "util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace emu;

TEST(EmulatorUnits, CompressedFormsRoundTripAndAreDetected) {
    std::string data(100000, 'x');
    for (size_t i = 0; i < data.size(); i += 7) data[i] = char('a' + i % 26);
    Bytes zlibForm = compress(data, true);
    Bytes rawForm = compress(data, false);
    EXPECT_EQ(static_cast<unsigned char>(zlibForm[0]), 0x78);  // zlib header, 32K window
    EXPECT_EQ(decompress(zlibForm, 1 << 20), data);
    EXPECT_EQ(decompress(rawForm, 1 << 20), data);
    EXPECT_EQ(decompress("", 10), "");
    // Size limit, damage and truncation are refused, not crashed on.
    EXPECT_THROW(decompress(zlibForm, 1000), Fault);
    EXPECT_THROW(decompress(zlibForm.substr(0, zlibForm.size() / 2), 1 << 20), Fault);
    EXPECT_THROW(decompress("\x78\x9c garbage that is not deflate", 1 << 20), Fault);
}

TEST(EmulatorUnits, CredentialsSurviveTheSessionIdBody) {
    auto body = encodeCredentials({{"XmldbEndPoint", "http://127.0.0.1:1234/qorvane/xmldb-session"}, {"User", "ann"}});
    auto raw = base64Decode(body);
    ASSERT_TRUE(raw);
    // The body is not readable as plain text (XOR with "qorvane").
    EXPECT_EQ(raw->find("XmldbEndPoint"), std::string::npos);
    EXPECT_EQ(static_cast<unsigned char>((*raw)[0] ^ 'q'), 'U');  // keys are sorted: "User" first
    auto back = decodeCredentials(body);
    EXPECT_EQ(back["XmldbEndPoint"], "http://127.0.0.1:1234/qorvane/xmldb-session");
    EXPECT_EQ(back["User"], "ann");
    EXPECT_TRUE(decodeCredentials("!!not base64!!").empty());
}

TEST(EmulatorUnits, PropertyCollectionKeepsKindsOrderAndText) {
    PropertyCollection pc;
    pc.setText("ClientRunDirectory", "C:\\temp\\run <1> & \"2\"");
    pc.setFlag("WaitForExit", true);
    pc.setInteger("ExitStatus", -3);
    pc.setTexts("Source", {"a.txt", "", "  spaced  "});
    pc.setIntegers("Expanded", {-1, 2});
    pc.setTexts("Empty", {});
    auto back = PropertyCollection::fromXml(pc.toXml());
    ASSERT_EQ(back.all().size(), 6u);
    EXPECT_EQ(back.text("ClientRunDirectory"), "C:\\temp\\run <1> & \"2\"");
    EXPECT_EQ(back.find("WaitForExit")->kind, PropKind::Flag);
    EXPECT_EQ(back.text("ExitStatus"), "-3");
    EXPECT_EQ(back.find("Source")->values, (std::vector<std::string>{"a.txt", "", "  spaced  "}));
    EXPECT_EQ(back.find("Expanded")->kind, PropKind::Integers);
    EXPECT_TRUE(back.find("Empty")->values.empty());
    EXPECT_EQ(back.all()[3].key, "Source");
    EXPECT_THROW(PropertyCollection::fromXml("<properties><property kind=\"text\"/></properties>"), std::runtime_error);
    EXPECT_THROW(PropertyCollection::fromXml("<nope/>"), std::runtime_error);
    EXPECT_THROW(PropertyCollection::fromXml("<properties><property"), std::runtime_error);
}

TEST(EmulatorUnits, PathsStayInsideTheJail) {
    fs::path base = fs::temp_directory_path() / ("emu-jail-" + randomHex(8));
    fs::create_directories(base / "root" / "sub");
    fs::create_directories(base / "outside");
    fs::create_directory_symlink(base / "outside", base / "root" / "escape");
    fs::path root = fs::canonical(base / "root");
    EXPECT_EQ(resolveInside(root, root, "sub/file.txt"), root / "sub" / "file.txt");
    EXPECT_EQ(resolveInside(root, root, "sub\\file.txt"), root / "sub" / "file.txt");
    EXPECT_EQ(resolveInside(root, root, (root / "new.txt").string()), root / "new.txt");
    EXPECT_EQ(resolveInside(root, root / "sub", "../x"), root / "x");
    EXPECT_THROW(resolveInside(root, root, "../outside/x"), Fault);
    EXPECT_THROW(resolveInside(root, root, "sub/../../outside"), Fault);
    EXPECT_THROW(resolveInside(root, root, "/etc/passwd"), Fault);
    EXPECT_THROW(resolveInside(root, root, "escape/secret.txt"), Fault);
    EXPECT_THROW(resolveInside(root, root, ""), Fault);
    EXPECT_THROW(resolveInside(root, root, std::string("a\0b", 3)), Fault);
    // A sibling whose name merely starts with the root's name is outside.
    fs::create_directories(base / "rootfake");
    EXPECT_THROW(resolveInside(root, root, (base / "rootfake" / "x").string()), Fault);
    fs::remove_all(base);
}

TEST(EmulatorUnits, ValidationRulesFollowOtherParameters) {
    Component c = parseComponent(R"(<component name="T">
      <parameters>
        <parameter name="Mode" required="true"><value>a</value><legalValue>a</legalValue><legalValue>b</legalValue></parameter>
        <parameter name="N" type="integer" required="true"><enabledWhen parameter="Mode" equals="b"/></parameter>
        <parameter name="Pick"><value>x</value>
          <legalValuesWhen parameter="Mode" equals="a"><legalValue>x</legalValue></legalValuesWhen>
          <legalValuesWhen parameter="Mode" equals="b"><legalValue>y</legalValue></legalValuesWhen>
        </parameter>
        <parameter name="Free" legalValuesEnforced="false"><legalValue>s</legalValue></parameter>
      </parameters></component>)");
    auto v = validate(c, {});
    ASSERT_EQ(v.size(), 4u);
    EXPECT_TRUE(v[0].isValid);
    EXPECT_FALSE(v[1].isEnabled);
    EXPECT_TRUE(v[1].isValid);  // disabled parameters are not checked
    EXPECT_EQ(v[2].legalValues, std::vector<std::string>{"x"});
    EXPECT_TRUE(v[2].isValid);

    v = validate(c, {{"Mode", {"b"}}, {"N", {"12x"}}, {"Free", {"anything"}}});
    EXPECT_TRUE(v[1].isEnabled);
    EXPECT_FALSE(v[1].isValid);
    EXPECT_EQ(v[1].invalidDetails, "'12x' is not an integer");
    EXPECT_FALSE(v[2].isValid);  // "x" is not legal when Mode is b
    EXPECT_EQ(v[2].legalValues, std::vector<std::string>{"y"});
    EXPECT_TRUE(v[3].isValid);
    EXPECT_FALSE(v[3].enforced);

    v = validate(c, {{"Mode", {"c"}}, {"N", {""}}});
    EXPECT_FALSE(v[0].isValid);
    v = validate(c, {{"Mode", {"a", "b"}}});
    EXPECT_FALSE(v[0].isValid);  // one value only without multipleSelect
    v = validate(c, {{"Mode", {"b"}}, {"N", {}}});
    EXPECT_EQ(v[1].invalidDetails, "A value is required for N");
}

TEST(EmulatorUnits, ComponentFilesAreCheckedOnParse) {
    EXPECT_THROW(parseComponent("<component/>"), Fault);                    // no name
    EXPECT_THROW(parseComponent("<component name=\"../x\"/>"), Fault);      // path in the name
    EXPECT_THROW(parseComponent("<component name=\".hidden\"/>"), Fault);
    EXPECT_THROW(parseComponent("<protocol name=\"x\"/>"), Fault);
    EXPECT_THROW(parseComponent("<component name=\"x\"><properties><property/></properties></component>"), Fault);
    Component c = parseComponent("<component name=\"x\"><script><step kind=\"wait\"/><step id=\"s\" kind=\"fail\"/></script></component>");
    ASSERT_EQ(c.script.size(), 2u);
    EXPECT_EQ(c.script[0].id, "step1");
    EXPECT_EQ(c.script[1].id, "s");
    EXPECT_EQ(c.type, "protocol");
}
