#include "wire/xml_canon.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace pelox::test {

namespace {

std::string str(const xmlChar* text) { return text ? reinterpret_cast<const char*>(text) : ""; }

bool whitespaceOnly(const std::string& text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

void dump(const xmlNode* node, int depth, std::string& out) {
    for (; node; node = node->next) {
        std::string indent(static_cast<size_t>(depth) * 2, ' ');
        if (node->type == XML_ELEMENT_NODE) {
            std::string name = (node->ns && node->ns->prefix ? str(node->ns->prefix) + ":" : std::string()) + str(node->name);
            out += indent + "<" + name + "> {" + (node->ns ? str(node->ns->href) : std::string()) + "}";
            // Namespace declarations in the order they were written (a
            // server may rely on it), then the attributes sorted.
            for (const xmlNs* ns = node->nsDef; ns; ns = ns->next) {
                // Appended piece by piece: "literal" + std::string&& inserts at
                // the front, which GCC's -O3 misreads as an overlapping copy.
                std::string declaration = " xmlns";
                if (ns->prefix) declaration.append(":").append(str(ns->prefix));
                declaration.append("=").append(str(ns->href));
                out += declaration;
            }
            std::vector<std::string> attributes;
            for (const xmlAttr* a = node->properties; a; a = a->next) {
                xmlChar* value = xmlNodeListGetString(node->doc, a->children, 1);
                attributes.push_back((a->ns && a->ns->prefix ? str(a->ns->prefix) + ":" : std::string()) + str(a->name) + "=" +
                                     str(value));
                xmlFree(value);
            }
            std::sort(attributes.begin(), attributes.end());
            for (const auto& a : attributes) out += " " + a;
            out += "\n";
            dump(node->children, depth + 1, out);
        } else if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
            std::string text = str(node->content);
            if (!whitespaceOnly(text)) out += indent + "'" + text + "'\n";
        }
    }
}

}  // namespace

std::string canonicalXml(const std::string& xml) {
    xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "message.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) {
        const xmlError* error = xmlGetLastError();
        return "PARSE ERROR: " + std::string(error && error->message ? error->message : "unknown");
    }
    std::string out;
    dump(xmlDocGetRootElement(doc), 0, out);
    xmlFreeDoc(doc);
    return out;
}

}  // namespace pelox::test
