// The namespace table written on every envelope and matched on input.
#include "wire/namespaces.h"

#include "host/qor_keys.h"
#include "soapH.h"

namespace {

constexpr const char* kEnvelope11 = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char* kEncoding11 = "http://schemas.xmlsoap.org/soap/encoding/";

}  // namespace

// The runtime looks this table up by name when a context has none of its
// own; every context of the library installs the same one explicitly.
SOAP_NMAC struct Namespace namespaces[] = {
    {"SOAP-ENV", kEnvelope11, "http://www.w3.org/*/soap-envelope", nullptr},
    {"SOAP-ENC", kEncoding11, "http://www.w3.org/*/soap-encoding", nullptr},
    {"xsi", "http://www.w3.org/2001/XMLSchema-instance", nullptr, nullptr},
    {"xsd", "http://www.w3.org/2001/XMLSchema", nullptr, nullptr},
    {"wsse", "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd", nullptr, nullptr},
    {"wsu", "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd", nullptr, nullptr},
    {"ds", "http://www.w3.org/2000/09/xmldsig#", nullptr, nullptr},
    {"qor", qor::kServiceNamespace, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};

namespace pelox::wire {

const struct Namespace* namespaceTable() { return namespaces; }

void installNamespaces(struct soap* soap) {
    soap_set_namespaces(soap, namespaces);
    soap_set_version(soap, 1);
}

}  // namespace pelox::wire
