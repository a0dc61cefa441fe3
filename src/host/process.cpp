// The parts of host/process.h that are the same on every platform: the
// environment entries a start adds, and closing standard input once the
// queued input is written. Starting, polling and the streams are in
// posix/process.cpp and win32/process.cpp.
#include "host/process.h"

#include <algorithm>

#include "host/tarn_util.h"

namespace pelox::host {

void vcProcess::AppendEnvironment(std::u16string_view environment) {
    for (const std::u16string& raw : tarn::util::splitString(environment, u"\n")) {
        std::u16string_view line(raw);
        if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
        const size_t eq = line.find(u'=');
        if (eq == std::u16string_view::npos || eq == 0 || line.find(u'\0') != std::u16string_view::npos) continue;
        std::u16string name(line.substr(0, eq));
        std::u16string value(line.substr(eq + 1));
        auto it = std::find_if(environment_.begin(), environment_.end(),
                               [&](const auto& e) { return sameEnvironmentName(e.first, name); });
        if (it != environment_.end())
            it->second = std::move(value);
        else
            environment_.emplace_back(std::move(name), std::move(value));
    }
}

void vcProcess::CloseStdin() {
    closeStdinRequested_ = true;
    writeStdin();
}

}  // namespace pelox::host
