// The text form of class identifiers, shared by both platforms.
#include "host/com_registration.h"

#include "host/tarn_util.h"

namespace pelox::host {

std::u16string StringFromCLSID(std::u16string_view clsid) {
    std::u16string out = tarn::util::toUpperAscii(clsid);
    if (out.empty() || out.front() != u'{') out.insert(out.begin(), u'{');
    if (out.size() < 2 || out.back() != u'}') out.push_back(u'}');
    return out;
}

}  // namespace pelox::host
