// Component import, export, deletion and moving: end to end against the
// emulator through the C API, plus a loopback server for replies the emulator
// never sends and a closed port for the retry pause.
#include <gtest/gtest.h>
#include <pugixml.hpp>
#include <zlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue/e2e_helpers.h"
#include "connection/channel.h"
#include "connection/session_info.h"
#include "registry/access.h"
#include "support/test_platform.h"
#include "wire/loopback_server.h"

namespace fs = std::filesystem;
using namespace pelox::e2e;
using pelox::testsupport::Emulator;

namespace {

const char* const kSplitter = "Utilities/Components/Text Splitter";
// Well-formed XML that is not a component.
const char* const kPropertiesDocument =
    "<properties><property key=\"Registrant\"><value>x</value></property></properties>";

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeAll(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

std::u16string wide(const fs::path& path) { return u16(path.string()); }

// What a component file says, independent of formatting and of the order of
// its properties (the server re-orders them when it stores a component):
// root attributes, properties by key, then every other child element as is.
std::string content(const fs::path& file) {
    pugi::xml_document doc;
    if (!doc.load_file(file.c_str())) return "<unreadable " + file.string() + ">";
    const pugi::xml_node root = doc.child("component");
    std::map<std::string, std::string> attributes, properties;
    for (const pugi::xml_attribute a : root.attributes()) attributes[a.name()] = a.value();
    for (const pugi::xml_node p : root.child("properties").children("property")) {
        std::string values = p.attribute("kind").value();
        for (const pugi::xml_node v : p.children("value")) values += std::string("|") + v.text().get();
        properties[p.attribute("key").value()] = values;
    }
    std::ostringstream out;
    for (const auto& [k, v] : attributes) out << k << '=' << v << ';';
    for (const auto& [k, v] : properties) out << k << ':' << v << ';';
    for (const pugi::xml_node child : root.children())
        if (child.type() == pugi::node_element && std::string(child.name()) != "properties")
            child.print(out, "", pugi::format_raw);
    return out.str();
}

std::string componentXml(const std::string& name, const std::string& registrant) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<component type=\"component\" name=\"" + name +
                      "\" version=\"1\">\n  <properties>\n";
    if (!registrant.empty())
        xml += "    <property key=\"Registrant\" kind=\"text\"><value>" + registrant + "</value></property>\n";
    xml += "    <property key=\"Description\" kind=\"text\"><value>d</value></property>\n  </properties>\n";
    return xml + "  <parameters/>\n</component>\n";
}

class Components : public ::testing::Test {
protected:
    Components() {
        static std::atomic<int> serial{0};
        dir_ = fs::temp_directory_path() /
               ("pelox-components-" + std::to_string(pelox::testsupport::processId()) + "-" + std::to_string(serial++));
        fs::create_directories(dir_);
    }
    ~Components() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path file(const std::string& name) const { return dir_ / name; }
    fs::path stored(const Emulator& emu, const std::string& name) const {
        return emu.root() / "catalogue" / (name + ".xml");
    }

    fs::path dir_;
};

}  // namespace

TEST_F(Components, ExportImportRoundTripThenMoveAndDelete) {
    Emulator emu;
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());

    const fs::path first = file("first.xml"), second = file("second.xml");
    ASSERT_EQ(pelox_exportComponent(id.c_str(), u16(kSplitter).c_str(), wide(first).c_str()), 0);
    EXPECT_EQ(content(first), content(stored(emu, kSplitter)));
    EXPECT_NE(content(first).find("Registrant:text|samples;"), std::string::npos) << content(first);

    ASSERT_EQ(pelox_importComponent(id.c_str(), u"Copies", wide(first).c_str()), 0);
    ASSERT_TRUE(fs::exists(stored(emu, "Copies/Text Splitter")));
    ASSERT_EQ(pelox_exportComponent(id.c_str(), u"Copies/Text Splitter", wide(second).c_str()), 0);
    EXPECT_EQ(content(second), content(first));

    ASSERT_EQ(pelox_renameComponent(id.c_str(), u"Copies/Text Splitter", u"Moved/Splitter"), 0);
    EXPECT_FALSE(fs::exists(stored(emu, "Copies/Text Splitter")));
    EXPECT_TRUE(fs::exists(stored(emu, "Moved/Splitter")));
    Array components, folders;
    // Listed by GetComponentNames: a component is not a protocol.
    emu.setProfile("without-method=GetProtocolNames");
    const std::u16string id2 = login(emu);
    ASSERT_EQ(pelox_listProtocols(id2.c_str(), u"Moved", components, folders), 0);
    EXPECT_EQ(components.texts(), Texts{u"Splitter"});

    ASSERT_EQ(pelox_deleteComponent(id.c_str(), u"Moved/Splitter"), 0);
    EXPECT_FALSE(fs::exists(stored(emu, "Moved/Splitter")));
    EXPECT_EQ(emu.count("RegisterComponentZipped"), 1u);
}

// A registrant holding "/" is refused in both directions: nothing is sent on
// import, no file is written on export. No registrant at all passes.
TEST_F(Components, RegistrantRule) {
    Emulator emu;
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());

    writeAll(file("foreign.xml"), componentXml("Foreign", "corp/alice"));
    EXPECT_EQ(pelox_importComponent(id.c_str(), u"Imported", wide(file("foreign.xml")).c_str()), PELOX_E_REGISTRANT);
    EXPECT_EQ(emu.count("RegisterComponentZipped"), 0u);

    writeAll(file("anonymous.xml"), componentXml("Anonymous", ""));
    EXPECT_EQ(pelox_importComponent(id.c_str(), u"Imported", wide(file("anonymous.xml")).c_str()), 0);
    EXPECT_TRUE(fs::exists(stored(emu, "Imported/Anonymous")));

    writeAll(stored(emu, "Utilities/Foreign"), componentXml("Foreign", "corp/bob"));
    EXPECT_EQ(pelox_exportComponent(id.c_str(), u"Utilities/Foreign", wide(file("out.xml")).c_str()),
              PELOX_E_REGISTRANT);
    EXPECT_FALSE(fs::exists(file("out.xml")));
    EXPECT_EQ(emu.count("GetComponentVersionZipped"), 1u);
}

// Argument, session and local file checks, in their order, each before any
// service call where the file is the import's source.
TEST_F(Components, ArgumentAndLocalFileChecks) {
    Emulator emu;
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    const std::u16string good = wide(file("good.xml"));
    writeAll(file("good.xml"), componentXml("Good", "tester"));
    writeAll(file("malformed.xml"), "<component name=\"Bad\"><properties>");
    writeAll(file("properties.xml"), kPropertiesDocument);
    fs::create_directories(file("folder.xml"));
    const pelox_char* const noSession = u"S-none";
    const auto local = [&](const std::string& name) { return wide(file(name)); };

    struct Case {
        const char* what;
        std::function<int32_t()> call;
        int32_t expected;
    };
    const std::vector<Case> cases = {
        {"import: null session", [&] { return pelox_importComponent(nullptr, u"F", good.c_str()); },
         PELOX_E_NULL_ARGUMENT},
        {"import: null folder", [&] { return pelox_importComponent(id.c_str(), nullptr, good.c_str()); },
         PELOX_E_NULL_ARGUMENT},
        {"export: null file", [&] { return pelox_exportComponent(id.c_str(), u"C", nullptr); },
         PELOX_E_NULL_ARGUMENT},
        {"delete: null path", [&] { return pelox_deleteComponent(id.c_str(), nullptr); }, PELOX_E_NULL_ARGUMENT},
        {"rename: null target", [&] { return pelox_renameComponent(id.c_str(), u"a", nullptr); },
         PELOX_E_NULL_ARGUMENT},
        {"import: session before path", [&] { return pelox_importComponent(noSession, u"F", u"rel.xml"); },
         PELOX_E_NO_SESSION},
        {"delete: unknown session", [&] { return pelox_deleteComponent(noSession, u"a"); }, PELOX_E_NO_SESSION},
        {"rename: unknown session", [&] { return pelox_renameComponent(noSession, u"a", u"b"); }, PELOX_E_NO_SESSION},
        {"import: relative", [&] { return pelox_importComponent(id.c_str(), u"F", u"good.xml"); },
         PELOX_E_RELATIVE_PATH},
        {"import: empty", [&] { return pelox_importComponent(id.c_str(), u"F", u""); }, PELOX_E_RELATIVE_PATH},
        {"export: relative", [&] { return pelox_exportComponent(id.c_str(), u"Text Splitter", u"out/c.xml"); },
         PELOX_E_RELATIVE_PATH},
        {"import: missing", [&] { return pelox_importComponent(id.c_str(), u"F", local("missing.xml").c_str()); },
         PELOX_E_COMPONENT_FILE},
        {"import: malformed", [&] { return pelox_importComponent(id.c_str(), u"F", local("malformed.xml").c_str()); },
         PELOX_E_COMPONENT_FILE},
        {"import: not a component",
         [&] { return pelox_importComponent(id.c_str(), u"F", local("properties.xml").c_str()); },
         PELOX_E_COMPONENT_FILE},
        {"import: a directory", [&] { return pelox_importComponent(id.c_str(), u"F", local("folder.xml").c_str()); },
         PELOX_E_COMPONENT_FILE},
    };
    for (const Case& c : cases) EXPECT_EQ(c.call(), c.expected) << c.what;
    EXPECT_EQ(emu.count("RegisterComponentZipped"), 0u);
    EXPECT_EQ(emu.count("GetComponentVersionZipped"), 0u);
    EXPECT_EQ(emu.count("UnRegisterComponent"), 0u);
    EXPECT_EQ(emu.count("MoveComponent"), 0u);
}

// A server fault becomes an error record naming the operation; a failed
// export leaves the existing target file as it was.  Each call meets an
// injected SOAP fault.
TEST_F(Components, ServerFaultsNameTheOperation) {
    Emulator emu;
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    writeAll(file("good.xml"), componentXml("Good", "tester"));
    writeAll(file("target.xml"), "keep me");
    const std::u16string good = wide(file("good.xml")), target = wide(file("target.xml"));

    struct Case {
        const char* op;
        std::function<int32_t()> call;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"RegisterComponentZipped", [&] { return pelox_importComponent(id.c_str(), u"F", good.c_str()); },
         "soap call to RegisterComponent() failed"},
        {"GetComponentVersionZipped", [&] { return pelox_exportComponent(id.c_str(), u"No Such", target.c_str()); },
         "soap call to GetComponentVersion() failed"},
        {"UnRegisterComponent", [&] { return pelox_deleteComponent(id.c_str(), u"No Such"); },
         "soap call to UnRegisterComponent() failed"},
        {"MoveComponent", [&] { return pelox_renameComponent(id.c_str(), u"No Such", u"Elsewhere"); },
         "Soap call to MoveComponent() failed"},
    };
    for (const Case& c : cases) {
        emu.addFault(std::string("op=") + c.op + "&kind=soap-fault&count=1");
        const int32_t rc = c.call();
        ASSERT_GT(rc, 0) << c.op;
        EXPECT_NE(errorText(rc).find(c.message), std::string::npos) << c.op << ": " << errorText(rc);
    }
    EXPECT_EQ(readAll(file("target.xml")), "keep me");
    EXPECT_FALSE(fs::exists(stored(emu, "F/Good")));
}

namespace {

std::string zlibCompress(const std::string& data) {
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()), data.size(), 5);
    out.resize(size);
    return out;
}

std::string base64(const std::string& data) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t v = static_cast<unsigned char>(data[i]) << 16;
        if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
        if (i + 2 < data.size()) v |= static_cast<unsigned char>(data[i + 2]);
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += i + 1 < data.size() ? digits[(v >> 6) & 63] : '=';
        out += i + 2 < data.size() ? digits[v & 63] : '=';
    }
    return out;
}

// The componentXML element of a reply carrying these bytes.
std::string data(const std::string& bytes) { return "<componentXML>" + base64(bytes) + "</componentXML>"; }

std::string componentReply(const std::string& componentElement) {
    return pelox::test::httpReply(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:q=\"urn:qorvane:workflow-server\"><soap:Body>"
        "<q:GetComponentVersionResponse soap:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">" +
        componentElement +
        "<fullName>A/comp</fullName><componentVersion>3</componentVersion>"
        "</q:GetComponentVersionResponse></soap:Body></soap:Envelope>");
}

}  // namespace

// Component data that cannot be read as a component gives -983 (no error
// record) and leaves the existing target file as it was.
TEST_F(Components, UnusableComponentDataFromTheServer) {
    const std::string zipped = zlibCompress(componentXml("Fine", "x"));
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"no component data", ""},
        {"empty component data", "<componentXML></componentXML>"},
        {"not compressed", data("\xff\xff\xff\xff")},
        {"truncated stream", data(zipped.substr(0, zipped.size() / 2))},
        {"malformed XML", data(zlibCompress("<component name=\"A\"><properties>"))},
        {"not a component", data(zlibCompress(kPropertiesDocument))},
    };
    std::mutex mutex;
    std::string reply;
    pelox::test::LoopbackServer server([&](const std::string&) {
        std::lock_guard<std::mutex> lock(mutex);
        return reply;
    });
    const auto answer = [&](const std::string& element) {
        std::lock_guard<std::mutex> lock(mutex);
        reply = componentReply(element);
    };
    pelox::SessionInfo session;
    session.xmldbEndpoint = server.url("/qorvane/xmldb");
    pelox::registry::putSession(u"S-loopback", session);
    writeAll(file("target.xml"), "keep me");
    const std::u16string target = wide(file("target.xml"));

    for (const auto& [what, element] : cases) {
        answer(element);
        EXPECT_EQ(pelox_exportComponent(u"S-loopback", u"A/comp", target.c_str()), PELOX_E_COMPONENT_FILE) << what;
    }
    EXPECT_EQ(readAll(file("target.xml")), "keep me");

    // The same reply with good data is written.
    answer(data(zipped));
    ASSERT_EQ(pelox_exportComponent(u"S-loopback", u"A/comp", target.c_str()), 0);
    EXPECT_NE(readAll(file("target.xml")).find("name=\"Fine\""), std::string::npos);
}

// Moving pauses a fixed 200 ms between connection retries whatever the retry
// pause option says; deleting uses the option.
TEST(ComponentRetries, RenamePausesFixed200Milliseconds) {
    pelox::SessionInfo session;
    session.xmldbEndpoint = "http://127.0.0.1:" + std::to_string(pelox::test::closedPort()) + "/qorvane/xmldb";
    pelox::registry::putSession(u"S-closed", session);
    std::vector<int> pauses;
    struct Restore {
        ~Restore() {
            pelox_setPeloxOptions(PELOX_OPTION_RETRY_PAUSE, u"200");
            pelox::setRetrySleeperForTesting({});
        }
    } restore;
    pelox::setRetrySleeperForTesting([&](int ms) { pauses.push_back(ms); });
    ASSERT_EQ(pelox_setPeloxOptions(PELOX_OPTION_RETRY_PAUSE, u"1000"), 0);
    const size_t retries = 10;  // the default retry count

    EXPECT_EQ(pelox_renameComponent(u"S-closed", u"a", u"b"), PELOX_E_CONNECTION);
    EXPECT_EQ(pauses, std::vector<int>(retries, 200));
    pauses.clear();
    EXPECT_EQ(pelox_deleteComponent(u"S-closed", u"a"), PELOX_E_CONNECTION);
    EXPECT_EQ(pauses, std::vector<int>(retries, 1000));
}
