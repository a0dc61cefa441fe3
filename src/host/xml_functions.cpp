#include "host/xml_functions.h"

#include <pugixml.hpp>

#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "host/files.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"

namespace pelox::host {

namespace {

// Files larger than this are not read as XML.
constexpr size_t kMaxDocumentBytes = size_t(1) << 30;

// Standard XML parsing (character and predefined entity references, CDATA,
// end-of-line and attribute white-space normalisation) plus every white-space
// text node, so that values keep their white space. parse_fragment keeps text
// outside the root element, which parseDocument then refuses. parse_doctype
// is left out: a DOCTYPE is skipped, never processed, and its entities are
// never expanded.
constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_fragment;

const char* encodingName(pugi::xml_encoding encoding) {
    switch (encoding) {
        case pugi::encoding_utf16_le:
        case pugi::encoding_utf16_be:
        case pugi::encoding_utf16: return "UTF-16";
        case pugi::encoding_utf32_le:
        case pugi::encoding_utf32_be:
        case pugi::encoding_utf32: return "UTF-32";
        case pugi::encoding_latin1: return "ISO-8859-1";
        default: return "another encoding";
    }
}

bool isBlank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

// Parses a whole document and returns its one root element. source names the
// file or buffer in messages.
pugi::xml_node parseDocument(pugi::xml_document& doc, const unsigned char* data, size_t size,
                             const std::u16string& source) {
    if (size == 0) throw tarn::Exception("Could not read %ls as XML: it is empty", source);
    const pugi::xml_parse_result result = doc.load_buffer(data, size, kParseOptions, pugi::encoding_auto);
    if (result.status == pugi::status_out_of_memory)
        throw tarn::Exception("Could not read %ls as XML: not enough memory", source);
    if (!result)
        throw tarn::Exception("Could not read %ls as XML: %s at byte %lld", source, result.description(),
                              static_cast<long long>(result.offset));
    if (result.encoding != pugi::encoding_utf8)
        throw tarn::Exception("Could not read %ls as XML: it is not UTF-8 (%s)", source,
                              encodingName(result.encoding));
    pugi::xml_node root;
    for (pugi::xml_node node : doc.children()) {
        if (node.type() == pugi::node_element) {
            if (root)
                throw tarn::Exception("Could not read %ls as XML: more than one root element (<%s> and <%s>)", source,
                                      root.name(), node.name());
            root = node;
        } else if (node.type() == pugi::node_cdata || (node.type() == pugi::node_pcdata && !isBlank(node.value()))) {
            throw tarn::Exception("Could not read %ls as XML: text outside the root element", source);
        }
    }
    if (!root) throw tarn::Exception("Could not read %ls as XML: no root element", source);
    return root;
}

std::optional<PropertyKind> kindFromName(std::string_view name) {
    if (name == "text") return PropertyKind::Text;
    if (name == "flag") return PropertyKind::Flag;
    if (name == "integer") return PropertyKind::Integer;
    if (name == "texts") return PropertyKind::Texts;
    if (name == "integers") return PropertyKind::Integers;
    return std::nullopt;
}

const char* kindName(PropertyKind kind) {
    switch (kind) {
        case PropertyKind::Text: return "text";
        case PropertyKind::Flag: return "flag";
        case PropertyKind::Integer: return "integer";
        case PropertyKind::Texts: return "texts";
        case PropertyKind::Integers: return "integers";
    }
    return "text";
}

// The text of a <value>: all its text and CDATA children joined, exactly
// (comments and any nested elements are left out).
std::u16string valueText(pugi::xml_node value) {
    std::string text;
    for (pugi::xml_node child : value.children())
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) text += child.value();
    return tarn::util::ConvertUTF8toString(text);
}

// Reads the <property> children of a <properties> element. A missing or
// unknown kind reads as text, a scalar without <value> as the empty text; of
// a key that occurs twice the later property wins; other elements are
// ignored.
void readProperties(pugi::xml_node properties, CPropertyCollection& out, const std::u16string& source) {
    std::vector<Property> list;
    for (pugi::xml_node element : properties.children("property")) {
        const pugi::xml_attribute key = element.attribute("key");
        if (!key)
            throw tarn::Exception("Could not read %ls: a <property> element without a key at byte %lld", source,
                                  static_cast<long long>(element.offset_debug()));
        Property p;
        p.key = tarn::util::ConvertUTF8toString(key.value());
        p.kind = kindFromName(element.attribute("kind").value()).value_or(PropertyKind::Text);
        for (pugi::xml_node value : element.children("value")) p.values.push_back(valueText(value));
        list.push_back(std::move(p));
    }
    out.assign(std::move(list));
}

// Parsed content of a document: exactly one of the two is set.
struct ReadResult {
    std::unique_ptr<CPropertyCollection> properties;
    std::unique_ptr<CComponent> component;
};

ReadResult readDocument(Bytes bytes, const std::u16string& source) {
    try {
        pugi::xml_document doc;
        const pugi::xml_node root = parseDocument(doc, bytes.data(), bytes.size(), source);
        ReadResult result;
        const std::string_view name = root.name();
        if (name == "properties") {
            result.properties = CPropertyCollection::newInstance();
            readProperties(root, *result.properties, source);
        } else if (name == "component") {
            doc.reset();  // the component parses its document itself
            result.component = std::make_unique<CComponent>(std::move(bytes), source);
        } else {
            throw tarn::Exception("Could not read %ls: the root element is <%s>, not <properties> or <component>",
                                  source, std::string(name));
        }
        return result;
    } catch (const std::bad_alloc&) {
        throw tarn::Exception("Could not read %ls as XML: not enough memory", source);
    }
}

std::u16string quoted(const std::u16string& path) { return u"'" + path + u"'"; }

// Reads a whole file through vcFile (host/files.h), so that a name reaches the
// file system the same way on every platform.
Bytes readWholeFile(const std::u16string& path16) {
    bool isDirectory = false;
    if (PathExists(path16, &isDirectory) && isDirectory)
        throw tarn::Exception("Could not read '%ls': it is a directory", path16);
    vcFile file;
    if (!file.Open(path16, kFileRead)) throw tarn::Exception("%ls", file.ErrorText());
    Bytes bytes;
    std::vector<unsigned char> buffer(64 * 1024);
    for (;;) {
        const size_t n = file.Read(buffer.data(), buffer.size());
        if (n == 0) break;
        if (bytes.size() + n > kMaxDocumentBytes)
            throw tarn::Exception("Could not read '%ls': it is larger than %llu bytes", path16,
                                  static_cast<unsigned long long>(kMaxDocumentBytes));
        bytes.insert(bytes.end(), buffer.data(), buffer.data() + n);
        if (n < buffer.size()) break;
    }
    return bytes;
}

class BytesWriter : public pugi::xml_writer {
public:
    explicit BytesWriter(Bytes& out) : out_(out) {}
    void write(const void* data, size_t size) override {
        const auto* p = static_cast<const unsigned char*>(data);
        // pugixml writes a carriage return in text as it is, which every
        // reader would turn into a line feed; a reference keeps it. (Nowhere
        // else does the output hold a raw carriage return: attributes already
        // escape it, and the indentation uses line feeds.)
        for (size_t i = 0; i < size; ++i) {
            if (p[i] == '\r') {
                static constexpr std::string_view kCarriageReturn = "&#13;";
                out_.insert(out_.end(), kCarriageReturn.begin(), kCarriageReturn.end());
            } else {
                out_.push_back(p[i]);
            }
        }
    }

private:
    Bytes& out_;
};

Bytes writePropertyCollection(const CPropertyCollection& collection) {
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    pugi::xml_node root = doc.append_child("properties");
    // Keys and values are written as XML 1.0 allows: a character it forbids
    // (a NUL or an escape sequence of a program's coloured output) becomes
    // U+FFFD instead of a reference the server's parser would refuse the
    // whole document for, and a NUL no longer cuts the text short.
    for (const Property& p : collection.all()) {
        pugi::xml_node element = root.append_child("property");
        element.append_attribute("key") = tarn::util::ConvertStringtoXmlUTF8(p.key).c_str();
        element.append_attribute("kind") = kindName(p.kind);
        for (const std::u16string& v : p.values)
            element.append_child("value").text().set(tarn::util::ConvertStringtoXmlUTF8(v).c_str());
    }
    Bytes out;
    BytesWriter writer(out);
    doc.save(writer, "  ", pugi::format_indent, pugi::encoding_utf8);
    return out;
}

}  // namespace

CComponent::CComponent(Bytes document, const std::u16string& source) : document_(std::move(document)) {
    try {
        pugi::xml_document doc;
        const pugi::xml_node root = parseDocument(doc, document_.data(), document_.size(), source);
        if (std::string_view(root.name()) != "component")
            throw tarn::Exception("Could not read %ls: the root element is <%s>, not <component>", source,
                                  std::string(root.name()));
        if (pugi::xml_node properties = root.child("properties")) readProperties(properties, info_, source);
    } catch (const std::bad_alloc&) {
        throw tarn::Exception("Could not read %ls as XML: not enough memory", source);
    }
}

const CPropertyCollection* CComponent::iComponentInfo() const { return &info_; }

void CXMLReaderFunctions::SetReferenceResolutionHandling(int /*mode*/, void* /*resolver*/) {}

bool CXMLReaderFunctions::ReadXMLFromFile(const std::u16string& path, std::unique_ptr<XmlObject>& out,
                                          bool /*validate*/) {
    ReadResult result = readDocument(readWholeFile(path), quoted(path));
    if (result.component)
        out = std::move(result.component);
    else
        out = std::move(result.properties);
    return true;
}

bool CXMLReaderFunctions::ReadXMLFromBuffer(const Bytes& bytes, std::unique_ptr<XmlObject>& out, bool /*validate*/,
                                            bool /*flag*/, void* /*reserved*/) {
    ReadResult result = readDocument(bytes, u"the buffer");
    if (result.component)
        out = std::move(result.component);
    else
        out = std::move(result.properties);
    return true;
}

void CXMLWriterFunctions::WriteToBuffer(Bytes& out, const XmlObject& object, bool /*flag*/, void* /*reserved*/) {
    try {
        if (const auto* component = dynamic_cast<const CComponent*>(&object)) {
            out = component->document();
        } else if (const auto* collection = dynamic_cast<const CPropertyCollection*>(&object)) {
            out = writePropertyCollection(*collection);
        } else {
            throw tarn::Exception("Cannot write this object as XML: it is neither a component nor a property collection");
        }
    } catch (const std::bad_alloc&) {
        throw tarn::Exception("Not enough memory to write the XML");
    }
}

void CXMLWriterFunctions::WriteToFile(const std::u16string& path, const XmlObject& object, bool flag, void* reserved) {
    Bytes bytes;
    WriteToBuffer(bytes, object, flag, reserved);
    if (path.empty()) throw tarn::Exception("Could not write the file: no file name given");
    InPlaceFileWriter file(path);
    file.Write(bytes.data(), bytes.size());
    file.Commit();
}

std::unique_ptr<CPropertyCollection> ReadPropertyCollection(const Bytes& bytes) {
    ReadResult result = readDocument(bytes, u"the buffer");
    if (!result.properties)
        throw tarn::Exception("Could not read the buffer: it is a <component> document, not <properties>");
    return std::move(result.properties);
}

}  // namespace pelox::host
