// The core library's platform utilities on POSIX: host name, temporary
// directory, broken-down time.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "host/tarn_util.h"

namespace tarn::util {

std::u16string getHostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return u"localhost";
    return ConvertUTF8toString(std::string_view(buf, strnlen(buf, sizeof buf)));
}

std::u16string getTempPath() {
    std::string dir = "/tmp";
    for (const char* name : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        std::error_code ec;
        if (std::filesystem::is_directory(value, ec)) dir = value;
        break;
    }
    if (dir.back() != '/') dir += '/';
    return ConvertUTF8toString(dir);
}

bool gmtime(const int64_t* seconds, std::tm& out) {
    if (!seconds) return false;
    const std::time_t t = static_cast<std::time_t>(*seconds);
    return gmtime_r(&t, &out) != nullptr;
}

}  // namespace tarn::util
