// Property collection and component XML: the documented form read and
// written, hostile or broken documents refused, components written back
// unchanged, files replaced only when a write completes.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>

#include "host/property_collection.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"
#include "host/xml_functions.h"
#include "support/test_platform.h"

using namespace pelox::host;
namespace fs = std::filesystem;

namespace {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::unique_ptr<XmlObject> readBuffer(std::string_view xml) {
    CXMLReaderFunctions reader;
    reader.SetReferenceResolutionHandling(0, nullptr);
    std::unique_ptr<XmlObject> out;
    EXPECT_TRUE(reader.ReadXMLFromBuffer(bytesOf(xml), out, false, true, nullptr));
    return out;
}

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeText(const fs::path& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool sameProperties(const CPropertyCollection& a, const CPropertyCollection& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const Property& x = a.all()[i];
        const Property& y = b.all()[i];
        if (x.key != y.key || x.kind != y.kind || x.values != y.values) return false;
    }
    return true;
}

std::u16string u16(const fs::path& path) { return tarn::util::ConvertUTF8toString(path.string()); }

std::u16string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const tarn::Exception& e) {
        return e.joined(u" | ");
    }
    ADD_FAILURE() << "no tarn::Exception";
    return {};
}

class TempDir {
public:
    TempDir() {
        path_ = fs::temp_directory_path() / ("pelox-xml-test-" + std::to_string(pelox::testsupport::processId()));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }
    size_t entries() const { return std::distance(fs::directory_iterator(path_), fs::directory_iterator()); }

private:
    fs::path path_;
};

}  // namespace

TEST(PropertyXml, EveryKindAndAwkwardTextSurviveWriteAndRead) {
    auto c = CPropertyCollection::newInstance();
    c->setText(u"ClientRunDirectory", u"/tmp/client/J1");
    c->setFlag(u"WaitForExit", true);
    c->setInteger(u"Big", -9000000000LL);
    c->setTexts(u"Source", {u"  leading", u"trailing\t", u"   ", u"", u"a\r\nb\rc\nd", u"<&>\"' ]]>",
                            u"\U0001F600 \u00e9\u20ac", u"ctl\x01"});
    c->setIntegers(u"Expanded", {-1, 0, 2147483647});
    c->setTexts(u"ClientTempFiles", {});
    c->setText(u"key \"<&>\" \t\n", u"odd key");
    c->setText(u"WaitForExit", u"replaced in place");  // kind and value replaced, position kept

    CXMLWriterFunctions writer;
    Bytes xml;
    writer.WriteToBuffer(xml, *c, false, nullptr);
    auto back = ReadPropertyCollection(xml);
    // A control character XML forbids comes back as U+FFFD.
    c->setTexts(u"Source", {u"  leading", u"trailing\t", u"   ", u"", u"a\r\nb\rc\nd", u"<&>\"' ]]>",
                            u"\U0001F600 \u00e9\u20ac", u"ctl\uFFFD"});
    EXPECT_TRUE(sameProperties(*back, *c)) << std::string(xml.begin(), xml.end());
    EXPECT_EQ(back->all()[1].key, u"WaitForExit");
    EXPECT_EQ(back->all()[1].kind, PropertyKind::Text);

    std::vector<int32_t> numbers;
    ASSERT_TRUE(back->getIntegers(u"Expanded", numbers));
    EXPECT_EQ(numbers, (std::vector<int32_t>{-1, 0, 2147483647}));
    std::vector<std::u16string> texts;
    ASSERT_TRUE(back->getTexts(u"ClientRunDirectory", texts));  // a scalar reads as a one-entry list
    EXPECT_EQ(texts, std::vector<std::u16string>{u"/tmp/client/J1"});
    bool flag = true;
    EXPECT_FALSE(back->getFlag(u"Missing", flag));
    EXPECT_TRUE(flag);  // untouched when absent
}

TEST(PropertyXml, ReadsTheDocumentedFormWithItsFallbacks) {
    auto object = readBuffer(
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<properties>\r\n"
        "  <property key=\"WaitForExit\" kind=\"flag\"><value>true</value></property>\n"
        "  <property key=\"A\" kind=\"text\"><value>first</value></property>\n"
        "  <property key=\"NoKind\"><value> spaced </value></property>\n"
        "  <property key=\"Odd\" kind=\"blob\"><value>x</value><value>y</value></property>\n"
        "  <property key=\"Empty\" kind=\"integer\"/>\n"
        "  <property key=\"Mixed\" kind=\"texts\"><value>a<!-- note -->b<![CDATA[<c>]]>&#13;&lt;</value>"
        "<value>   </value><other>ignored</other></property>\n"
        "  <unknown key=\"Z\"/>\n"
        "  <property key=\"A\" kind=\"integers\"><value>7</value><value>-3</value></property>\n"
        "</properties>\n");
    auto* c = dynamic_cast<CPropertyCollection*>(object.get());
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->size(), 6u);
    EXPECT_EQ(c->all()[1].key, u"A");  // the later duplicate wins, in the place of the first
    EXPECT_EQ(c->all()[1].kind, PropertyKind::Integers);
    EXPECT_EQ(c->all()[1].values, (std::vector<std::u16string>{u"7", u"-3"}));

    bool flag = false;
    EXPECT_TRUE(c->getFlag(u"WaitForExit", flag) && flag);
    EXPECT_EQ(c->find(u"NoKind")->kind, PropertyKind::Text);
    EXPECT_EQ(c->find(u"NoKind")->values, std::vector<std::u16string>{u" spaced "});
    EXPECT_EQ(c->find(u"Odd")->kind, PropertyKind::Text);
    EXPECT_EQ(c->find(u"Odd")->values, std::vector<std::u16string>{u"x"});
    std::u16string text = u"untouched";
    EXPECT_TRUE(c->getText(u"Empty", text));
    EXPECT_EQ(text, u"");
    EXPECT_EQ(c->find(u"Mixed")->values, (std::vector<std::u16string>{u"ab<c>\r<", u"   "}));
    EXPECT_FALSE(c->has(u"Z"));
    EXPECT_FALSE(c->has(u"waitforexit"));  // keys are exact
}

TEST(PropertyXml, BrokenDocumentsThrowWithAUsefulMessage) {
    const struct {
        const char* name;
        std::string xml;
        const char16_t* says;
    } cases[] = {
        {"empty", "", u"empty"},
        {"blank", " \n ", u"no root element"},
        {"not well-formed", "<properties><property key=\"a\"><value>x</property></properties>", u"mismatch"},
        {"unclosed", "<properties>", u"mismatch"},
        {"other root", "<settings/>", u"<settings>"},
        {"two roots", "<properties/><properties/>", u"more than one root"},
        {"text outside", "<properties/>junk", u"outside"},
        {"UTF-16", std::string("\xFF\xFE<\0p\0/\0>\0", 10), u"UTF-16"},
        {"property without key", "<properties><property kind=\"text\"/></properties>", u"without a key"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        CXMLReaderFunctions reader;
        std::unique_ptr<XmlObject> out;
        const std::u16string message =
            messageOf([&] { reader.ReadXMLFromBuffer(bytesOf(tc.xml), out, false, true, nullptr); });
        EXPECT_NE(message.find(tc.says), std::u16string::npos) << tarn::util::ConvertStringtoUTF8(message);
        EXPECT_EQ(out, nullptr);
    }

    TempDir dir;
    CXMLReaderFunctions reader;
    std::unique_ptr<XmlObject> out;
    const std::u16string missing = u16(dir.path() / "missing \u00e9.xml");
    EXPECT_NE(messageOf([&] { reader.ReadXMLFromFile(missing, out, false); }).find(missing), std::u16string::npos);
    const std::u16string directory = u16(dir.path());
    EXPECT_NE(messageOf([&] { reader.ReadXMLFromFile(directory, out, false); }).find(u"directory"),
              std::u16string::npos);
    writeText(dir.path() / "bad.xml", "<component><properties></component>");
    const std::u16string bad = u16(dir.path() / "bad.xml");
    EXPECT_NE(messageOf([&] { reader.ReadXMLFromFile(bad, out, false); }).find(bad), std::u16string::npos);
}

TEST(PropertyXml, EntitiesAreNeverExpanded) {
    std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE properties [\n <!ENTITY lol \"lol\">\n";
    for (int i = 1; i <= 9; ++i) {
        doc += " <!ENTITY lol" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) doc += "&lol" + (i == 1 ? std::string() : std::to_string(i - 1)) + ";";
        doc += "\">\n";
    }
    doc +=
        " <!ENTITY xxe SYSTEM \"file:///etc/passwd\">\n]>\n"
        "<properties><property key=\"Bomb\"><value>&lol9;</value></property>"
        "<property key=\"File\"><value>&xxe;&amp;</value></property></properties>";
    auto c = ReadPropertyCollection(bytesOf(doc));
    std::u16string text;
    ASSERT_TRUE(c->getText(u"Bomb", text));
    EXPECT_EQ(text, u"&lol9;");
    ASSERT_TRUE(c->getText(u"File", text));
    EXPECT_EQ(text, u"&xxe;&");
}

TEST(ComponentXml, ReadFindsTheRegistrantAndWritesTheDocumentBackUnchanged) {
    const std::string document =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<!-- exported -->\r\n"
        "<component   type='protocol' version=\"3\" name=\"Add \u00e9\">\r\n"
        "  <properties>\n"
        "    <property key=\"Registrant\" kind=\"text\"><value>ann/other</value></property>\n"
        "  </properties>\n"
        "  <parameters><parameter name=\"A\" type=\"integer\"><value>  2 </value></parameter></parameters>\n"
        "  <script><step id=\"add\" kind=\"sum\" of=\"A,B\"/></script>\n"
        "</component>\n";
    TempDir dir;
    writeText(dir.path() / "in.xml", document);

    CXMLReaderFunctions reader;
    reader.SetReferenceResolutionHandling(0, nullptr);
    std::unique_ptr<XmlObject> object;
    ASSERT_TRUE(reader.ReadXMLFromFile(u16(dir.path() / "in.xml"), object, false));
    auto* component = dynamic_cast<CComponent*>(object.get());
    ASSERT_NE(component, nullptr);
    std::u16string registrant;
    ASSERT_TRUE(component->iComponentInfo()->getText(u"Registrant", registrant));
    EXPECT_EQ(registrant, u"ann/other");

    CXMLWriterFunctions writer;
    Bytes buffer;
    writer.WriteToBuffer(buffer, *component, false, nullptr);
    EXPECT_EQ(buffer, bytesOf(document));
    writer.WriteToFile(u16(dir.path() / "out.xml"), *component, false, nullptr);
    EXPECT_EQ(fileText(dir.path() / "out.xml"), document);

    // Read back from the buffer it is the same component; a component is not a property collection.
    auto again = readBuffer(std::string(buffer.begin(), buffer.end()));
    ASSERT_NE(dynamic_cast<CComponent*>(again.get()), nullptr);
    EXPECT_THROW(ReadPropertyCollection(buffer), tarn::Exception);

    // Without <properties> the information is an empty collection, not null.
    auto bare = readBuffer("<component name=\"x\"/>");
    ASSERT_NE(dynamic_cast<CComponent*>(bare.get()), nullptr);
    ASSERT_NE(dynamic_cast<CComponent*>(bare.get())->iComponentInfo(), nullptr);
    EXPECT_EQ(dynamic_cast<CComponent*>(bare.get())->iComponentInfo()->size(), 0u);
}

TEST(XmlFiles, AFailedWriteLeavesTheExistingFileIntact) {
    TempDir dir;
    auto c = CPropertyCollection::newInstance();
    c->setText(u"Big", std::u16string(20000, u'x'));
    CXMLWriterFunctions writer;

    // Replacing a file keeps its permissions and leaves no temporary file.
    const fs::path target = dir.path() / "settings.xml";
    writeText(target, "old content");
#ifndef _WIN32
    ::chmod(target.c_str(), 0640);
#endif
    writer.WriteToFile(u16(target), *c, false, nullptr);
    EXPECT_TRUE(sameProperties(*ReadPropertyCollection(bytesOf(fileText(target))), *c));
#ifndef _WIN32
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms(0640));
#endif
    EXPECT_EQ(dir.entries(), 1u);

    // The target is a directory.
    const fs::path folder = dir.path() / "folder";
    fs::create_directory(folder);
    writeText(folder / "keep", "k");
    EXPECT_NE(messageOf([&] { writer.WriteToFile(u16(folder), *c, false, nullptr); }).find(u16(folder)),
              std::u16string::npos);
    EXPECT_EQ(fileText(folder / "keep"), "k");

#ifndef _WIN32
    // Linux only (links, named pipes, file size limits and permission bits):
    // a symbolic link is written through; a pipe is refused, not replaced.
    const fs::path link = dir.path() / "link.xml";
    fs::create_symlink(target.filename(), link);
    c->setText(u"Through", u"link");
    writer.WriteToFile(u16(link), *c, false, nullptr);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(ReadPropertyCollection(bytesOf(fileText(target)))->has(u"Through"));
    fs::remove(link);
    const fs::path pipe = dir.path() / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_THROW(writer.WriteToFile(u16(pipe), *c, false, nullptr), tarn::Exception);
    EXPECT_TRUE(fs::is_fifo(pipe));
    fs::remove(pipe);

    // The write fails part way (file size limit): the old file stays whole.
    writeText(target, "old content");
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::u16string message = messageOf([&] { writer.WriteToFile(u16(target), *c, false, nullptr); });
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(message.find(u16(target)), std::u16string::npos);
    EXPECT_EQ(fileText(target), "old content");
    EXPECT_EQ(dir.entries(), 2u);  // the target and the folder: the temporary file is gone

    // A directory the process may not write into (meaningless for root): the
    // file itself is writable and is written in place.
    if (::geteuid() != 0) {
        ::chmod(dir.path().c_str(), 0555);
        writer.WriteToFile(u16(target), *c, false, nullptr);
        ::chmod(dir.path().c_str(), 0755);
        EXPECT_TRUE(sameProperties(*ReadPropertyCollection(bytesOf(fileText(target))), *c));
    }
#endif
}
