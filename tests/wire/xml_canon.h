// Canonical text of an XML document for comparisons in tests: one line per
// element with its prefix, namespace, namespace declarations in document
// order and sorted attributes; text that is only white space between
// elements is dropped.
// Nothing else is normalised, so prefixes, values and order of elements count.
#pragma once

#include <string>

namespace pelox::test {

// Returns the canonical text, or "PARSE ERROR: ..." when xml is not
// well-formed.
std::string canonicalXml(const std::string& xml);

}  // namespace pelox::test
