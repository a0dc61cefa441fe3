// The platform-neutral part of the test support: the request and reply
// format of the raw HTTP client, the SOAP envelope, the XML helpers and the
// emulator's control calls. Starting and stopping the emulator and the
// socket exchange are in posix/ and win32/.
#include "support/emulator_launcher.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "support/emulator_platform.h"

#ifndef PELOX_EMULATOR_PATH
#define PELOX_EMULATOR_PATH "pelox-emulator"
#endif

namespace pelox::testsupport {

const char* emulatorPath() { return PELOX_EMULATOR_PATH; }

bool detail::keepEmulatorRoot() {
    const char* keep = std::getenv("PELOX_KEEP_EMULATOR_ROOT");
    return keep && std::string(keep) == "1";
}

HttpResponse httpRequest(int port, const std::string& method, const std::string& target, const std::string& body,
                         const std::vector<std::pair<std::string, std::string>>& headers) {
    HttpResponse r;
    const bool ownHost = std::any_of(headers.begin(), headers.end(), [](const auto& h) { return h.first == "Host"; });
    std::string req = method + " " + target + " HTTP/1.1\r\n" +
                      (ownHost ? std::string() : "Host: 127.0.0.1:" + std::to_string(port) + "\r\n") +
                      "Connection: close\r\n";
    bool hasLength = false;
    for (const auto& [k, v] : headers) {
        req += k + ": " + v + "\r\n";
        std::string lk = k;
        std::transform(lk.begin(), lk.end(), lk.begin(), ::tolower);
        if (lk == "content-length" || lk == "transfer-encoding") hasLength = true;
    }
    if (!hasLength && (!body.empty() || method == "POST")) req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    req += "\r\n";
    req += body;
    std::string in;
    if (!detail::exchange(port, req, in)) return r;
    // Interim answers (100 Continue) come before the real one.
    while (in.starts_with("HTTP/1.1 1") || in.starts_with("HTTP/1.0 1")) {
        auto end = in.find("\r\n\r\n");
        if (end == std::string::npos) break;
        in.erase(0, end + 4);
    }
    auto headEnd = in.find("\r\n\r\n");
    if (headEnd == std::string::npos || !in.starts_with("HTTP/1.")) return r;
    std::string head = in.substr(0, headEnd);
    size_t sp = head.find(' ');
    int status = std::atoi(head.c_str() + sp + 1);
    size_t pos = head.find("\r\n");
    while (pos != std::string::npos && pos < head.size()) {
        size_t e = head.find("\r\n", pos + 2);
        std::string line = head.substr(pos + 2, e == std::string::npos ? std::string::npos : e - pos - 2);
        auto colon = line.find(':');
        if (colon != std::string::npos) {
            std::string k = line.substr(0, colon);
            std::transform(k.begin(), k.end(), k.begin(), ::tolower);
            std::string v = line.substr(colon + 1);
            while (!v.empty() && v.front() == ' ') v.erase(v.begin());
            r.headers[k] = v;
        }
        pos = e;
    }
    r.body = in.substr(headEnd + 4);
    auto cl = r.headers.find("content-length");
    if (cl != r.headers.end() && r.body.size() < size_t(std::atoll(cl->second.c_str()))) {
        r.status = 0;  // truncated reply
        return r;
    }
    r.status = status;
    return r;
}

std::string soapEnvelope(const std::string& bodyXml) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:qor=\"urn:qorvane:workflow-server\">"
           "<SOAP-ENV:Body>" +
           bodyXml + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

// Finds the element <tag ...> or <prefix:tag ...>; returns the position after
// its start tag, npos when absent. selfClosing tells "<tag/>".
static size_t findElement(const std::string& xml, const std::string& tag, size_t from, bool& selfClosing,
                          size_t* startOut = nullptr) {
    size_t pos = from;
    while ((pos = xml.find('<', pos)) != std::string::npos) {
        size_t nameStart = pos + 1;
        size_t nameEnd = xml.find_first_of(" />\t\r\n", nameStart);
        if (nameEnd == std::string::npos) return std::string::npos;
        std::string name = xml.substr(nameStart, nameEnd - nameStart);
        auto colon = name.find(':');
        std::string local = colon == std::string::npos ? name : name.substr(colon + 1);
        if (local == tag && !name.starts_with("/")) {
            size_t close = xml.find('>', nameEnd);
            if (close == std::string::npos) return std::string::npos;
            selfClosing = xml[close - 1] == '/';
            if (startOut) *startOut = pos;
            return close + 1;
        }
        pos = nameEnd;
    }
    return std::string::npos;
}

static std::string unescape(std::string s) {
    const std::pair<const char*, const char*> ents[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (auto [from, to] : ents) {
        size_t p = 0;
        while ((p = s.find(from, p)) != std::string::npos) {
            s.replace(p, std::strlen(from), to);
            p += std::strlen(to);
        }
    }
    return s;
}

// The raw content of the element that starts at contentStart (nesting of the
// same local name is not expected in the replies this helper reads).
static std::string contentOf(const std::string& xml, size_t contentStart, const std::string& tag) {
    size_t pos = contentStart;
    int depth = 1;
    while ((pos = xml.find('<', pos)) != std::string::npos) {
        bool closing = xml[pos + 1] == '/';
        size_t nameStart = pos + (closing ? 2 : 1);
        size_t nameEnd = xml.find_first_of(" />\t\r\n", nameStart);
        std::string name = xml.substr(nameStart, nameEnd - nameStart);
        auto colon = name.find(':');
        std::string local = colon == std::string::npos ? name : name.substr(colon + 1);
        size_t close = xml.find('>', nameEnd);
        if (close == std::string::npos) break;
        if (local == tag) {
            if (closing) {
                if (--depth == 0) return xml.substr(contentStart, pos - contentStart);
            } else if (xml[close - 1] != '/') {
                ++depth;
            }
        }
        pos = close + 1;
    }
    return {};
}

std::string xmlValue(const std::string& xml, const std::string& tag) {
    bool selfClosing = false;
    size_t start = findElement(xml, tag, 0, selfClosing);
    if (start == std::string::npos || selfClosing) return {};
    return unescape(contentOf(xml, start, tag));
}

std::vector<std::string> xmlItems(const std::string& xml, const std::string& tag) {
    std::vector<std::string> out;
    bool selfClosing = false;
    size_t start = findElement(xml, tag, 0, selfClosing);
    if (start == std::string::npos || selfClosing) return out;
    std::string inner = contentOf(xml, start, tag);
    size_t pos = 0;
    while (true) {
        bool sc = false;
        size_t itemStart = findElement(inner, "item", pos, sc);
        if (itemStart == std::string::npos) break;
        if (sc) {
            out.emplace_back();
            pos = itemStart;
            continue;
        }
        std::string content = contentOf(inner, itemStart, "item");
        out.push_back(unescape(content));
        pos = itemStart + content.size();
    }
    return out;
}

std::string Emulator::control(const std::string& commandAndQuery) const {
    auto r = httpRequest(port_, "GET", "/qorvane-control/" + commandAndQuery, {},
                         {{"X-Pelox-Control-Token", controlToken_}});
    if (r.status != 200) throw std::runtime_error("control " + commandAndQuery + " failed: " + r.body);
    return r.body;
}

unsigned long Emulator::count(const std::string& op) const {
    return std::strtoul(control("counts?op=" + op).c_str(), nullptr, 10);
}

HttpResponse Emulator::soap(const std::string& path, const std::string& bodyXml) const {
    return httpRequest(port_, "POST", path, soapEnvelope(bodyXml),
                       {{"Content-Type", "text/xml; charset=utf-8"}, {"SOAPAction", "\"\""}});
}

std::string Emulator::login(const std::string& user, const std::string& password) const {
    auto r = soap("/qorvane/locator", "<qor:Login><name>" + user + "</name><password>" + password +
                                          "</password><clientType>{pelox} test</clientType>"
                                          "<clientVersion>8.5.0.0</clientVersion><clientMachine>test</clientMachine>"
                                          "</qor:Login>");
    std::string sid = xmlValue(r.body, "sessionID");
    if (r.status != 200 || sid.empty()) throw std::runtime_error("login failed: " + r.body);
    return sid;
}

}  // namespace pelox::testsupport
