// The property-collection and component XML readers. Whatever the reader
// accepts must survive being written and read again. A component is written
// back unchanged and reads as the same properties. A property collection is
// written as XML 1.0 allows (characters it forbids, which the reader takes
// from references such as "&#14;", become U+FFFD; keys that then agree merge
// as the reader merges them), so what it reads back is a fixed point: written
// and read again, it gives the same bytes each time; and a collection with no
// such character reads back as the same properties.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "host/tarn_exception.h"
#include "host/tarn_util.h"
#include "host/xml_functions.h"

using namespace pelox::host;

namespace {

bool sameProperties(const CPropertyCollection& a, const CPropertyCollection& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const Property& x = a.all()[i];
        const Property& y = b.all()[i];
        if (x.key != y.key || x.kind != y.kind || x.values != y.values) return false;
    }
    return true;
}

// Whether the writer must change a text of the collection to write it.
bool writtenAsIs(const CPropertyCollection& collection) {
    auto same = [](const std::u16string& text) {
        return tarn::util::ConvertUTF8toString(tarn::util::ConvertStringtoXmlUTF8(text)) == text;
    };
    for (const Property& p : collection.all()) {
        if (!same(p.key)) return false;
        for (const std::u16string& v : p.values)
            if (!same(v)) return false;
    }
    return true;
}

// Writes the object and reads it back; throws (and so fails the run) when the
// written form cannot be read.
std::unique_ptr<XmlObject> writtenAndRead(const XmlObject& object, Bytes& written) {
    CXMLWriterFunctions().WriteToBuffer(written, object, false, nullptr);
    std::unique_ptr<XmlObject> again;
    CXMLReaderFunctions().ReadXMLFromBuffer(written, again, false, false, nullptr);
    return again;
}

// Every reader of every property, as the client steps use them.
void readAll(const CPropertyCollection& collection) {
    for (const Property& p : collection.all()) {
        std::u16string text;
        bool flag = false;
        std::vector<std::u16string> texts;
        std::vector<int32_t> numbers;
        collection.getText(p.key, text);
        collection.getFlag(p.key, flag);
        collection.getTexts(p.key, texts);
        collection.getIntegers(p.key, numbers);
    }
}

const CPropertyCollection* propertiesOf(const XmlObject& object) {
    if (const auto* component = dynamic_cast<const CComponent*>(&object)) return component->iComponentInfo();
    return dynamic_cast<const CPropertyCollection*>(&object);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Bytes bytes(data, data + size);
    std::unique_ptr<XmlObject> first;
    try {
        CXMLReaderFunctions().ReadXMLFromBuffer(bytes, first, false, false, nullptr);
    } catch (const tarn::Exception&) {
        return 0;
    }
    const CPropertyCollection* properties = propertiesOf(*first);
    if (!properties) std::abort();
    readAll(*properties);

    Bytes written;
    const std::unique_ptr<XmlObject> second = writtenAndRead(*first, written);
    const CPropertyCollection* again = propertiesOf(*second);
    if (!again) std::abort();
    if (dynamic_cast<const CComponent*>(first.get())) {
        if (written != bytes || !sameProperties(*properties, *again)) std::abort();
    } else {
        if (writtenAsIs(*properties) && !sameProperties(*properties, *again)) std::abort();
        Bytes rewritten, thirdWritten;
        const std::unique_ptr<XmlObject> third = writtenAndRead(*second, rewritten);
        writtenAndRead(*third, thirdWritten);
        if (thirdWritten != rewritten) std::abort();
    }

    try {
        ReadPropertyCollection(bytes);
    } catch (const tarn::Exception&) {
    }
    return 0;
}
