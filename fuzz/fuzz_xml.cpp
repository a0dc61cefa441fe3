// The property-collection and component XML readers. Whatever the reader
// accepts must survive being written and read again: the second reading
// gives the same properties (a component is written back unchanged).
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "host/tarn_exception.h"
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
    CXMLReaderFunctions reader;
    CXMLWriterFunctions writer;
    std::unique_ptr<XmlObject> first;
    try {
        reader.ReadXMLFromBuffer(bytes, first, false, false, nullptr);
    } catch (const tarn::Exception&) {
        return 0;
    }
    const CPropertyCollection* properties = propertiesOf(*first);
    if (!properties) std::abort();
    readAll(*properties);

    Bytes written;
    writer.WriteToBuffer(written, *first, false, nullptr);
    std::unique_ptr<XmlObject> second;
    // Throws (and so fails the run) when the written form cannot be read.
    reader.ReadXMLFromBuffer(written, second, false, false, nullptr);
    const CPropertyCollection* again = propertiesOf(*second);
    if (!again || !sameProperties(*properties, *again)) std::abort();
    if (dynamic_cast<const CComponent*>(first.get()) && written != bytes) std::abort();

    try {
        ReadPropertyCollection(bytes);
    } catch (const tarn::Exception&) {
    }
    return 0;
}
