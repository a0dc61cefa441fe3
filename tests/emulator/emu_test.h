// Helpers shared by the emulator tests: building request fragments.
#pragma once

#include "support/emulator_launcher.h"

#include <string>
#include <utility>
#include <vector>

namespace emutest {

using pelox::testsupport::Emulator;
using pelox::testsupport::HttpResponse;
using pelox::testsupport::xmlItems;
using pelox::testsupport::xmlValue;

inline std::string el(const std::string& name, const std::string& text) {
    return "<" + name + ">" + text + "</" + name + ">";
}

inline std::string stringArray(const std::string& name, const std::vector<std::string>& items) {
    std::string s = "<" + name + " xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"xsd:string[" +
                    std::to_string(items.size()) + "]\">";
    for (const auto& i : items) s += "<item>" + i + "</item>";
    return s + "</" + name + ">";
}

using Pairs = std::vector<std::pair<std::string, std::vector<std::string>>>;

inline std::string pairArray(const std::string& name, const Pairs& pairs) {
    std::string s = "<" + name + " xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"qor:NameValuePair[" +
                    std::to_string(pairs.size()) + "]\">";
    for (const auto& [n, v] : pairs) s += "<item>" + el("name", n) + stringArray("values", v) + "</item>";
    return s + "</" + name + ">";
}

inline std::string op(const std::string& name, const std::string& members) {
    return "<qor:" + name + ">" + members + "</qor:" + name + ">";
}

inline std::string sidEl(const std::string& sid) { return el("sessionID", sid); }

inline bool isFault(const HttpResponse& r) { return r.body.find("Fault>") != std::string::npos; }

}  // namespace emutest
