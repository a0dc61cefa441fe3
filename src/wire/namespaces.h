// The namespace table of every call context.
#pragma once

struct Namespace;
struct soap;

namespace pelox::wire {

// SOAP-ENV, SOAP-ENC, xsi, xsd, wsse, wsu, ds, qor, in this order. The SOAP
// envelope and encoding entries also accept the later W3C namespaces on
// input, so SOAP 1.2 replies read like SOAP 1.1 ones.
const struct Namespace* namespaceTable();

// Installs the table in a context and puts it back to SOAP 1.1 (a SOAP 1.2
// reply switches the context's version; the next request must not follow).
void installNamespaces(struct soap* soap);

}  // namespace pelox::wire
