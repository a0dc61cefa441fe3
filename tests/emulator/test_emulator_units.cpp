// Helpers of the emulator that both sides of the wire depend on: the two
// compressed forms, session credentials, property collection XML, path
// confinement and the validation rules.
#include "catalogue.h"
#include "props.h"
#include "util.h"

#include <gtest/gtest.h>

#include "http.h"
#include "jail.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

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

namespace {

// A scratch folder with root/ (the jail) and outside/ beside it.
struct Scratch {
    fs::path base = fs::temp_directory_path() / ("emu-jail-" + randomHex(8));
    fs::path root, outside;
    Scratch() {
        fs::create_directories(base / "root" / "sub");
        fs::create_directories(base / "outside");
        root = fs::canonical(base / "root");
        outside = fs::canonical(base / "outside");
    }
    ~Scratch() { fs::remove_all(base); }
    size_t outsideCount() const {
        return size_t(std::distance(fs::directory_iterator(outside), fs::directory_iterator()));
    }
};

}  // namespace

TEST(EmulatorUnits, ClientPathsAreLocatedInsideTheJail) {
    Scratch s;
    Jail jail(s.root);
    jail.addAlias(s.base / "." / "root");
    EXPECT_EQ(jail.locate("sub/file.txt"), fs::path("sub/file.txt"));
    EXPECT_EQ(jail.locate("sub\\file.txt"), fs::path("sub/file.txt"));
    EXPECT_EQ(jail.locate((s.root / "new.txt").string()), fs::path("new.txt"));
    EXPECT_EQ(jail.locate((s.base / "root" / "x").string()), fs::path("x"));  // the alias
    EXPECT_EQ(jail.locate("../x", "sub"), fs::path("x"));
    EXPECT_EQ(jail.locate("a/./b/../c"), fs::path("a/c"));
    const std::vector<std::string> bad = {"../outside/x", "sub/../../outside", "/etc/passwd", "", std::string("a\0b", 3),
                                          (s.base / "rootfake" / "x").string(), (s.root / ".." / "outside").string()};
    for (const auto& p : bad) EXPECT_THROW(jail.locate(p), Fault) << p;
}

// Links that lead out, dangling or not, absolute or relative, direct or
// through another link: no operation may read, write, list, move or delete
// anything outside.
TEST(EmulatorUnits, NoOperationFollowsALinkOutOfTheJail) {
    Scratch s;
    std::ofstream(s.outside / "secret.txt") << "secret";
    Jail jail(s.root);
    const std::vector<std::pair<std::string, fs::path>> links = {
        {"dangling-absolute", s.outside / "new.txt"},
        {"dangling-relative", "../outside/new.txt"},
        {"existing-file", s.outside / "secret.txt"},
        {"folder", s.outside},
        {"chain", "dangling-absolute"},
        {"dot-dot-inside", "sub/../../outside"},
    };
    for (const auto& [name, target] : links) fs::create_symlink(target, s.root / name);
    for (const auto& [name, target] : links) {
        SCOPED_TRACE(name);
        const fs::path at = name, below = fs::path(name) / "x.txt";
        EXPECT_THROW(jail.write(at, "x", false), Fault);
        EXPECT_THROW(jail.write(below, "x", false), Fault);
        EXPECT_THROW(jail.replace(at, [](int) {}), Fault);
        EXPECT_THROW(jail.read(at, 100), Fault);
        EXPECT_THROW(jail.exists(at), Fault);
        EXPECT_THROW(jail.list(at), Fault);
        EXPECT_THROW(jail.makeFolders(below), Fault);
        EXPECT_THROW(jail.rename("sub", below), Fault);
        EXPECT_THROW(jail.remove(below), Fault);
        EXPECT_THROW(jail.sub(at), Fault);
    }
    // Listing the root leaves out every link that leads out.
    auto entries = jail.list("");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "sub");
    // Removing a link removes the link, never its target.
    jail.remove("existing-file");
    jail.removeTree("folder");
    EXPECT_EQ(emu::readFile(s.outside / "secret.txt", 100), "secret");
    EXPECT_EQ(s.outsideCount(), 1u);

    // Links that stay inside are followed, a dangling one creates its target.
    fs::create_symlink("sub/made.txt", s.root / "inner");
    jail.write("inner", "made", false);
    EXPECT_EQ(emu::readFile(s.root / "sub" / "made.txt", 100), "made");
    EXPECT_EQ(jail.shown("inner"), s.root / "sub" / "made.txt");
    EXPECT_EQ(jail.list("").size(), 2u);  // sub, inner
}

// A name that turns from a folder into a link to the outside and back while
// files are written below it: the write lands inside or fails, never outside.
TEST(EmulatorUnits, ALinkSwappedInDuringAWriteIsNotFollowed) {
    Scratch s;
    Jail jail(s.root);
    std::atomic<bool> done{false};
    std::thread flipper([&] {
        std::error_code ec;
        while (!done) {
            fs::remove_all(s.root / "flip", ec);
            fs::create_directory(s.root / "flip", ec);
            fs::remove_all(s.root / "flip", ec);
            fs::create_directory_symlink(s.outside, s.root / "flip", ec);
        }
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
    for (int i = 0; i < 3000 && std::chrono::steady_clock::now() < until; ++i) {
        try {
            jail.write("flip/f.txt", "x", false);
        } catch (const Fault&) {
        }
    }
    done = true;
    flipper.join();
    EXPECT_EQ(s.outsideCount(), 0u);
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

// Requests arrive in pieces of any size; bodies beyond the memory limit go to
// a spool file and read back the same.
TEST(EmulatorUnits, RequestsAreParsedFromPiecesOfAnySize) {
    const std::string body(3000, 'b');
    std::string chunked;
    for (size_t at = 0; at < body.size(); at += 700) {
        auto piece = body.substr(at, 700);
        char size[16];
        std::snprintf(size, sizeof size, "%zx;ext=1\r\n", piece.size());
        chunked += size + piece + "\r\n";
    }
    chunked += "0\r\nTrailer: x\r\n\r\n";
    const std::vector<std::string> requests = {
        "POST /a?b=c HTTP/1.1\r\nContent-Length: 3000\r\nExpect: 100-continue\r\n\r\n" + body,
        "POST /a?b=c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked,
    };
    for (const auto& text : requests) {
        for (size_t piece : {size_t(1), size_t(7), text.size()}) {
            RequestParser parser(1 << 20, 1000);  // 3000 bytes: spooled
            RequestParser::Status st = RequestParser::Status::More;
            bool askedContinue = false;
            for (size_t at = 0; at < text.size() && st == RequestParser::Status::More; at += piece) {
                st = parser.feed(text.data() + at, std::min(piece, text.size() - at));
                askedContinue = askedContinue || parser.wantsContinue();
            }
            ASSERT_EQ(st, RequestParser::Status::Done) << piece;
            auto& r = parser.request();
            EXPECT_EQ(r.method + " " + r.path + " " + r.query, "POST /a b=c");
            EXPECT_TRUE(bool(r.bodyFile));
            EXPECT_EQ(r.bodyText(1 << 20), body);
            // Asked for when the head is complete and no body byte came with it.
            EXPECT_EQ(askedContinue, text.find("Expect") != std::string::npos && piece == 1);
        }
    }
    RequestParser small(100, 1000);
    EXPECT_EQ(small.feed("POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n", 40), RequestParser::Status::TooLarge);
    EXPECT_TRUE(small.requestLineRead());
    RequestParser broken(100, 1000);
    std::string bad = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n";
    EXPECT_EQ(broken.feed(bad.data(), bad.size()), RequestParser::Status::Bad);
}

TEST(EmulatorUnits, RepliesAreMadeSafeForXml) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"<a>plain &amp; &#x41;&#10;</a>", "<a>plain &amp; &#x41;&#10;</a>"},
        {"a\x01" "b\x1f\x7f", "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\x7f"},
        {"&#x1;&#0;&#65535;&#xD800;", "&#xFFFD;&#xFFFD;&#xFFFD;&#xFFFD;"},
        {"caf\xC3\xA9 \xFF \xC0\xAF \xED\xA0\x80", "caf\xC3\xA9 \xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(xmlSafe(in), out) << in;
}
