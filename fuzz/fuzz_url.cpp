// Server URL normalisation, on any text a caller may give to pelox_login or
// pelox_getServerConfiguration.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "connection/channel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string url(reinterpret_cast<const char*>(data), size);
    pelox::normaliseServerUrl(url);
    // The result always names a scheme and ends with a path.
    if (url.compare(0, 4, "http") != 0 || url.empty() || url.find('/') == std::string::npos) std::abort();
    return 0;
}
