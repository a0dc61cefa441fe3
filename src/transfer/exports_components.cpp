// Component management: importing a component file into a catalogue folder,
// exporting a component's latest version to a file, deleting and moving
// components. All four talk to the session's XML database endpoint.
#include <memory>
#include <string>

#include "soapH.h"
#include "wire/convert.h"
#include "connection/channel.h"
#include "frame/frame.h"
#include "host/compress.h"
#include "host/files.h"
#include "host/property_collection.h"
#include "host/qor_keys.h"
#include "host/xml_functions.h"
#include "peloxImp.h"
#include "registry/access.h"

using namespace pelox;
using wire::utf8;

namespace {

// Every zipped component travels compressed at this level.
constexpr int kCompressionLevel = 5;

// A local component file must be named by an absolute path: the library
// never resolves a path against the host program's current directory.
bool isRelativeLocalPath(std::u16string_view path) {
    return path.empty() || host::vcFileName(path).IsRelative();
}

// The component held by a freshly read XML object, or null when the object
// is something else (a file can be well-formed XML without being a component).
const host::CComponent* asComponent(const std::unique_ptr<host::XmlObject>& object) {
    return dynamic_cast<const host::CComponent*>(object.get());
}

// Reads a component; null when the data cannot be read as a component.
// The caller reports that by its status code alone, so whatever the reader
// throws is dropped here.
template <class Read>
std::unique_ptr<host::XmlObject> readComponent(Read&& read) {
    std::unique_ptr<host::XmlObject> object;
    try {
        host::CXMLReaderFunctions reader;
        reader.SetReferenceResolutionHandling(0, nullptr);
        if (!read(reader, object)) return nullptr;
    } catch (...) {
        return nullptr;
    }
    if (!asComponent(object)) return nullptr;
    return object;
}

// A component whose registrant contains "/" is neither imported nor
// exported. A component without a registrant passes.
bool registrantRefused(const host::CComponent& component) {
    const host::CPropertyCollection* info = component.iComponentInfo();
    std::u16string registrant;
    return info && info->getText(qor::QOR_Registrant, registrant) && registrant.find(u'/') != std::u16string::npos;
}

}  // namespace

PELOX_API int32_t pelox_importComponent(const pelox_char* sessionId, const pelox_char* serverFolder,
                                        const pelox_char* localFile) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!sessionId || !serverFolder || !localFile) return PELOX_E_NULL_ARGUMENT;
        SessionInfo session;
        if (!registry::copySession(frame::view(sessionId), session)) return PELOX_E_NO_SESSION;
        const std::u16string path = frame::toU16(localFile);
        if (isRelativeLocalPath(path)) return PELOX_E_RELATIVE_PATH;

        const std::unique_ptr<host::XmlObject> object =
            readComponent([&](host::CXMLReaderFunctions& reader, std::unique_ptr<host::XmlObject>& out) {
                return reader.ReadXMLFromFile(path, out, false);
            });
        if (!object) return PELOX_E_COMPONENT_FILE;
        const host::CComponent& component = *asComponent(object);
        if (registrantRefused(component)) return PELOX_E_REGISTRANT;

        host::Bytes xml;
        host::CXMLWriterFunctions().WriteToBuffer(xml, component, false, nullptr);
        host::Bytes zipped;
        host::vcCompress(kCompressionLevel, session.serverIs7OrLater, false).Compress(zipped, xml);
        xml = host::Bytes();

        const std::u16string id = frame::toU16(sessionId);
        const std::u16string folder = frame::toU16(serverFolder);
        SoapStruct ctx;
        qor__RegisterComponentZippedResponse answer;
        // The identifier the server gives the new component is not needed.
        return callWithRetry(ctx, "soap call to RegisterComponent() failed", [&](struct soap* s) {
            return soap_call_qor__RegisterComponentZipped(s, session.xmldbEndpoint.c_str(), "", utf8(s, id),
                                                          utf8(s, folder), wire::toBase64(s, zipped), answer);
        });
    });
}

PELOX_API int32_t pelox_exportComponent(const pelox_char* sessionId, const pelox_char* componentName,
                                        const pelox_char* localFile) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!sessionId || !componentName || !localFile) return PELOX_E_NULL_ARGUMENT;
        SessionInfo session;
        if (!registry::copySession(frame::view(sessionId), session)) return PELOX_E_NO_SESSION;
        const std::u16string path = frame::toU16(localFile);
        if (isRelativeLocalPath(path)) return PELOX_E_RELATIVE_PATH;

        const std::u16string id = frame::toU16(sessionId);
        const std::u16string name = frame::toU16(componentName);
        host::Bytes zipped;
        {
            SoapStruct ctx;
            qor__GetComponentVersionResponse answer;
            const int rc = callWithRetry(ctx, "soap call to GetComponentVersion() failed", [&](struct soap* s) {
                // Version -1: the latest one.
                return soap_call_qor__GetComponentVersionZipped(s, session.xmldbEndpoint.c_str(), "", utf8(s, id),
                                                                utf8(s, name), -1, answer);
            });
            if (rc != 0) return rc;
            zipped = wire::fromBase64(answer.componentXML);
        }
        if (zipped.empty()) return PELOX_E_COMPONENT_FILE;

        const std::unique_ptr<host::XmlObject> object =
            readComponent([&](host::CXMLReaderFunctions& reader, std::unique_ptr<host::XmlObject>& out) {
                host::Bytes xml;
                host::vcCompress(kCompressionLevel, true, false).Decompress(xml, zipped);
                return reader.ReadXMLFromBuffer(xml, out, false, true, nullptr);
            });
        if (!object) return PELOX_E_COMPONENT_FILE;
        const host::CComponent& component = *asComponent(object);
        if (registrantRefused(component)) return PELOX_E_REGISTRANT;

        // Written in place once complete (host::InPlaceFileWriter): an
        // existing file keeps its identity, and a failed export leaves it as
        // it was.
        host::CXMLWriterFunctions().WriteToFile(path, component, false, nullptr);
        return PELOX_OK;
    });
}

PELOX_API int32_t pelox_deleteComponent(const pelox_char* sessionId, const pelox_char* componentPath) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!sessionId || !componentPath) return PELOX_E_NULL_ARGUMENT;
        SessionInfo session;
        if (!registry::copySession(frame::view(sessionId), session)) return PELOX_E_NO_SESSION;
        const std::u16string id = frame::toU16(sessionId);
        const std::u16string component = frame::toU16(componentPath);
        SoapStruct ctx;
        qor__EmptyResponse answer;
        return callWithRetry(ctx, "soap call to UnRegisterComponent() failed", [&](struct soap* s) {
            return soap_call_qor__UnRegisterComponent(s, session.xmldbEndpoint.c_str(), "", utf8(s, id),
                                                      utf8(s, component), answer);
        });
    });
}

PELOX_API int32_t pelox_renameComponent(const pelox_char* sessionId, const pelox_char* oldLocation,
                                        const pelox_char* newLocation) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!sessionId || !oldLocation || !newLocation) return PELOX_E_NULL_ARGUMENT;
        SessionInfo session;
        if (!registry::copySession(frame::view(sessionId), session)) return PELOX_E_NO_SESSION;
        const std::u16string id = frame::toU16(sessionId);
        const std::u16string from = frame::toU16(oldLocation);
        const std::u16string to = frame::toU16(newLocation);
        SoapStruct ctx;
        qor__EmptyResponse answer;
        // Between connection retries this call pauses a fixed 200 ms whatever
        // the configured pause; the configured retry count applies.
        return callWithRetry(
            ctx, "Soap call to MoveComponent() failed",
            [&](struct soap* s) {
                return soap_call_qor__MoveComponent(s, session.xmldbEndpoint.c_str(), "", utf8(s, id), utf8(s, from),
                                                    utf8(s, to), answer);
            },
            RetryPause::Fixed200ms);
    });
}
