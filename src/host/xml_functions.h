// Reading and writing the two XML documents of the server contract
// (docs/server-contract.md): property collections (root <properties>) and
// component files (root <component>). Documents are UTF-8.
//
// Reading is safe against hostile documents: no DOCTYPE is processed and no
// entity is expanded (a reference to an entity other than the five predefined
// ones and character references stays literal text), and a document that is
// empty, not well-formed, not UTF-8 or has another root element throws
// tarn::Exception.
#pragma once

#include <memory>
#include <string>

#include "host/compress.h"
#include "host/property_collection.h"

namespace pelox::host {

// A component read from a component file: keeps the whole document so that it
// is written back unchanged.
class CComponent : public XmlObject {
public:
    // Reads a <component> document; throws tarn::Exception when the bytes are
    // not one (source names the file or buffer in the message).
    explicit CComponent(Bytes document, const std::u16string& source = u"the buffer");

    // The component's information: the property collection of its (first)
    // <properties> element; empty when there is none. Never null.
    const CPropertyCollection* iComponentInfo() const;
    // The document exactly as it was read.
    const Bytes& document() const { return document_; }

private:
    Bytes document_;
    CPropertyCollection info_;
};

class CXMLReaderFunctions {
public:
    // Accepted for the callers' sake; documents never refer to anything that
    // needs resolving.
    void SetReferenceResolutionHandling(int mode, void* resolver);
    // Reads a <component> document (-> CComponent) or a <properties> document
    // (-> CPropertyCollection) into out; true on success (out is untouched
    // when an exception is thrown). validate, flag and reserved are unused.
    // Throws tarn::Exception on an unreadable file (naming it), malformed XML
    // or an unknown root element.
    bool ReadXMLFromFile(const std::u16string& path, std::unique_ptr<XmlObject>& out, bool validate);
    bool ReadXMLFromBuffer(const Bytes& bytes, std::unique_ptr<XmlObject>& out, bool validate, bool flag,
                           void* reserved);
};

class CXMLWriterFunctions {
public:
    // UTF-8 XML of a CComponent (its document unchanged) or a
    // CPropertyCollection (out replaced). Throws tarn::Exception for other
    // objects.
    void WriteToBuffer(Bytes& out, const XmlObject& object, bool flag, void* reserved);
    // Writes the XML to path in place once it is complete
    // (InPlaceFileWriter, host/files.h): an existing file keeps its identity
    // (owner, mode, links; a symbolic link is written through) and is left as
    // it was when the write fails before it is reached. Throws tarn::Exception
    // naming the path on failure.
    void WriteToFile(const std::u16string& path, const XmlObject& object, bool flag, void* reserved);
};

// Reads a <properties> document; throws tarn::Exception when the buffer is
// not one (a component document included).
std::unique_ptr<CPropertyCollection> ReadPropertyCollection(const Bytes& bytes);

}  // namespace pelox::host
