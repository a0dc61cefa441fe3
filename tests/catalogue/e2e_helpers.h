// Helpers for end-to-end tests of the exports against pelox-emulator: they
// use only the public header, as a host program would.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "peloxImp.h"
#include "support/emulator_launcher.h"

namespace pelox::e2e {

using Texts = std::vector<std::u16string>;

inline std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());  // tests pass ASCII only
}
inline std::string ascii(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

// Library objects that remove themselves.
struct Object {
    explicit Object(int32_t type) : type(type), handle(peloxImp_createObject(type)) {}
    ~Object() { peloxImp_removeObject(type, handle); }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    operator int32_t() const { return handle; }
    int32_t type, handle;
};
struct String : Object {
    String() : Object(PELOX_OBJECT_STRING) {}
    std::u16string text() const {
        const pelox_char* t = string_getText(handle);
        return t ? std::u16string(t) : std::u16string(u"<null>");
    }
};
struct Array : Object {
    Array() : Object(PELOX_OBJECT_STRING_ARRAY) {}
    Texts texts() const {
        int32_t n = 0;
        EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, handle, &n), 0);
        Texts out;
        for (int32_t i = 0; i < n; ++i) out.emplace_back(stringArray_getTextAtIndex(handle, static_cast<uint32_t>(i)));
        return out;
    }
};
struct Result : Object {
    Result() : Object(PELOX_OBJECT_RESULT_INFO) {}
    Texts names() const {
        Array a;
        EXPECT_EQ(resultInfo_getNames(handle, a), 0);
        return a.texts();
    }
    // The values under a name; {u"<missing>"} when the name is absent.
    Texts values(const std::u16string& name) const {
        Array a;
        const int32_t rc = resultInfo_getValues(handle, name.c_str(), a);
        if (rc == PELOX_E_NO_RESULT_NAME) return {u"<missing>"};
        EXPECT_EQ(rc, 0);
        return a.texts();
    }
};
struct Info : Object {
    Info() : Object(PELOX_OBJECT_PROTOCOL_INFO) {}
    int32_t size() const {
        int32_t n = -1;
        EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_PROTOCOL_INFO, handle, &n), 0);
        return n;
    }
};

// The messages of an error record (read once), joined with " | ".
inline std::string errorText(int32_t id) {
    if (id <= 0) return "<no error record: " + std::to_string(id) + ">";
    Array a;
    if (pelox_getPeloxErrors(id, a) != 0) return "<unreadable record>";
    std::string out;
    for (const auto& m : a.texts()) out += (out.empty() ? "" : " | ") + ascii(m);
    return out;
}

// Logs in to the emulator; the session ID, or an empty text (with the
// failure reported) when the login fails.
inline std::u16string login(const testsupport::Emulator& emu, const std::u16string& user = u"tester",
                            int32_t* code = nullptr) {
    String id;
    const int32_t rc = pelox_login(u16(emu.locatorUrl()).c_str(), user.c_str(), u"secret", nullptr, id, u"tests");
    if (code) {
        *code = rc;
    } else {
        EXPECT_EQ(rc, 0) << errorText(rc);
    }
    return rc == 0 ? id.text() : std::u16string();
}

inline unsigned long countInLog(const std::string& log, const std::string& needle) {
    unsigned long n = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
    return n;
}

}  // namespace pelox::e2e
