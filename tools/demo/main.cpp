// pelox-demo: the library's main job, run through the public API only.
//
//   pelox-demo SERVER-URL [USER [PASSWORD [PROTOCOL]]]
//
// Reads the server's configuration, logs in, reads the status page, walks the
// protocol catalogue, reads a protocol's parameters, changes one value and
// lets the server validate it, and lists the calculable properties. Every
// failure prints its status code and, for error records, their messages.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "peloxImp.h"

namespace {

std::u16string u16(const std::string& s) {
    // The arguments of this program are ASCII URLs and names; anything else
    // is passed through byte by byte, which is enough for a demonstration.
    return std::u16string(s.begin(), s.end());
}

std::string utf8(const pelox_char* text) {
    std::string out;
    if (!text) return out;
    for (const pelox_char* p = text; *p; ++p) {
        char32_t c = *p;
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Objects the demo works with; removed again at the end.
struct Objects {
    int32_t text = peloxImp_createObject(PELOX_OBJECT_STRING);
    int32_t list = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    int32_t list2 = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    int32_t errors = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    int32_t protocol = peloxImp_createObject(PELOX_OBJECT_PROTOCOL_INFO);
    int32_t results = peloxImp_createObject(PELOX_OBJECT_RESULT_INFO);
    ~Objects() {
        peloxImp_removeObject(PELOX_OBJECT_STRING, text);
        peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, list);
        peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, list2);
        peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, errors);
        peloxImp_removeObject(PELOX_OBJECT_PROTOCOL_INFO, protocol);
        peloxImp_removeObject(PELOX_OBJECT_RESULT_INFO, results);
    }
};

std::vector<std::string> arrayItems(int32_t array) {
    std::vector<std::string> items;
    int32_t n = 0;
    if (peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, array, &n) != 0) return items;
    for (int32_t i = 0; i < n; ++i) items.push_back(utf8(stringArray_getTextAtIndex(array, static_cast<uint32_t>(i))));
    return items;
}

std::string joined(const std::vector<std::string>& items) {
    std::string s;
    for (size_t i = 0; i < items.size(); ++i) s += (i ? ", " : "") + items[i];
    return s;
}

// Prints a failed call's code and, for an error record, its messages.
bool check(const Objects& o, const char* what, int32_t status) {
    if (status == 0) return true;
    if (status <= -1000) {
        std::printf("  (%s: notice %d)\n", what, status);
        return true;
    }
    std::printf("%s failed: %d\n", what, status);
    if (status > 0 && pelox_getPeloxErrors(status, o.errors) == 0)
        for (const std::string& m : arrayItems(o.errors)) std::printf("    %s\n", m.c_str());
    return false;
}

void printResultInfo(const Objects& o, int32_t info, const char* indent) {
    if (resultInfo_getNames(info, o.list) != 0) return;
    for (const std::string& name : arrayItems(o.list)) {
        const std::u16string wide = u16(name);
        resultInfo_getValues(info, wide.c_str(), o.list2);
        std::printf("%s%s = [%s]\n", indent, name.c_str(), joined(arrayItems(o.list2)).c_str());
    }
}

// Lists a folder and its sub-folders, depth first.
void walkCatalogue(const Objects& o, const std::u16string& session, const std::u16string& folder, int depth) {
    if (!check(o, "pelox_listProtocols", pelox_listProtocols(session.c_str(), folder.c_str(), o.list, o.list2))) return;
    const std::vector<std::string> protocols = arrayItems(o.list), folders = arrayItems(o.list2);
    const std::string pad(static_cast<size_t>(depth) * 2 + 2, ' ');
    for (const std::string& p : protocols) std::printf("%s%s\n", pad.c_str(), p.c_str());
    for (const std::string& f : folders) {
        std::printf("%s%s/\n", pad.c_str(), f.c_str());
        walkCatalogue(o, session, folder.empty() ? u16(f) : folder + u"/" + u16(f), depth + 1);
    }
}

std::string property(const Objects& o, int32_t index, int32_t number) {
    protocolInfo_getParameterProperty(o.protocol, index, number, o.list2);
    return joined(arrayItems(o.list2));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pelox-demo SERVER-URL [USER [PASSWORD [PROTOCOL]]]\n");
        return 2;
    }
    const std::u16string url = u16(argv[1]);
    const std::u16string user = u16(argc > 2 ? argv[2] : "demo");
    const std::u16string password = u16(argc > 3 ? argv[3] : "secret");
    const std::u16string protocolName = u16(argc > 4 ? argv[4] : "Examples/Add Numbers");

    Objects o;
    pelox_getPeloxInfo(PELOX_INFO_VERSION, o.text);
    std::printf("peloxImp %s\n", utf8(string_getText(o.text)).c_str());

    std::printf("\nServer configuration of %s:\n", argv[1]);
    if (!check(o, "pelox_getServerConfiguration", pelox_getServerConfiguration(url.c_str(), o.results))) return 1;
    printResultInfo(o, o.results, "  ");

    if (!check(o, "pelox_login", pelox_login(url.c_str(), user.c_str(), password.c_str(), nullptr, o.text, u"demo")))
        return 1;
    const std::u16string session = reinterpret_cast<const char16_t*>(string_getText(o.text));
    std::printf("\nLogged in as %s\n", utf8(user.c_str()).c_str());

    std::printf("\nServer status:\n");
    if (check(o, "pelox_getServerStatus", pelox_getServerStatus(session.c_str(), o.results)))
        printResultInfo(o, o.results, "  ");

    std::printf("\nCatalogue:\n");
    walkCatalogue(o, session, u"", 0);

    int32_t version = -1;
    if (check(o, "pelox_getProtocolVersion", pelox_getProtocolVersion(session.c_str(), protocolName.c_str(), &version)))
        std::printf("\n%s, version %d\n", utf8(protocolName.c_str()).c_str(), version);
    if (!check(o, "pelox_getProtocolParameters",
               pelox_getProtocolParameters(session.c_str(), protocolName.c_str(), o.protocol, PELOX_PARAMS_ADVANCED)))
        return 1;
    protocolInfo_getProtocolDescription(o.protocol, o.text);
    std::printf("  %s\n", utf8(string_getText(o.text)).c_str());
    protocolInfo_getProtocolStringAttribute(o.protocol, o.text, PELOX_ATTR_GUID);
    std::printf("  GUID %s\n", utf8(string_getText(o.text)).c_str());

    int32_t count = 0;
    peloxImp_getObjectSize(PELOX_OBJECT_PROTOCOL_INFO, o.protocol, &count);
    for (int32_t i = 0; i < count; ++i) {
        std::printf("  parameter %s (%s) = [%s]", property(o, i, PELOX_PROP_NAME).c_str(),
                    property(o, i, PELOX_PROP_TYPE).c_str(), property(o, i, PELOX_PROP_VALUES).c_str());
        std::printf(", valid %s\n", property(o, i, PELOX_PROP_IS_VALID).c_str());
    }

    if (count > 0) {
        const std::string name = property(o, 0, PELOX_PROP_NAME);
        std::printf("\nSetting %s to 40 and validating:\n", name.c_str());
        check(o, "protocolInfo_setParameterValue", protocolInfo_setParameterValue(o.protocol, 0, u"40"));
        std::printf("  %s = [%s], valid %s\n", name.c_str(), property(o, 0, PELOX_PROP_VALUES).c_str(),
                    property(o, 0, PELOX_PROP_IS_VALID).c_str());
    }

    std::printf("\nCalculable properties:\n");
    if (check(o, "pelox_getCalculablePropertiesByCategory",
              pelox_getCalculablePropertiesByCategory(session.c_str(), o.results)))
        printResultInfo(o, o.results, "  ");
    return 0;
}
