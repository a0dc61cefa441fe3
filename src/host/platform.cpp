#include "host/platform.h"

#include <mutex>

#include "host/private_files.h"
#include "host/tarn_context.h"
#include "host/tarn_util.h"

namespace pelox::host {

std::atomic<bool> CHttp::m_isClient{false};

namespace {

std::mutex& dirMutex() {
    static std::mutex m;
    return m;
}
std::u16string& tempRoot() {
    static std::u16string root;
    return root;
}
bool& tempRootSet() {
    static bool set = false;
    return set;
}
// Serialises setting the root up, so that a caller that finds it not set up
// and sets it up with a GUID name cannot overwrite a root set meanwhile by
// another thread, and every caller sees the root it set up.
std::recursive_mutex& setupMutex() {
    static std::recursive_mutex m;
    return m;
}

}  // namespace

void vcQorDir::SetRootTempDirectory(const std::u16string& path) {
    std::lock_guard<std::mutex> lock(dirMutex());
    tempRoot() = path;
}

std::u16string vcQorDir::GetDirectory(int kind) {
    if (kind != kTemporaryRoot) return {};
    std::lock_guard<std::mutex> lock(dirMutex());
    return tempRoot();
}

void vcQorDir::GetUserDirectory(const std::u16string& root, const std::u16string& user, std::u16string& out) {
    out = root;
    if (!out.empty() && out.back() != PATHSEP[0] && out.back() != u'/') out += PATHSEP;
    out += user;
}

void CClientTempFiles::InitializeQorDirectory(const char16_t* name) {
    tarn::annotate(u"CClientTempFiles", u"InitializeQorDirectory", [&] {
        std::lock_guard<std::recursive_mutex> setup(setupMutex());
        std::u16string leaf = (name && *name) ? std::u16string(name) : createGuidText();
        // The user's own root (host/private_files.h), never a folder shared
        // with other users.
        std::u16string root = tarn::util::ConvertUTF8toString(privateRootPath()) + PATHSEP + leaf;
        vcQorDir::SetRootTempDirectory(root);
        std::lock_guard<std::mutex> lock(dirMutex());
        tempRootSet() = true;
    });
}

bool CClientTempFiles::IsInitialized() {
    std::lock_guard<std::mutex> lock(dirMutex());
    return tempRootSet();
}

void CClientTempFiles::GetTemporaryFilePath(std::u16string& out) {
    tarn::annotate(u"CClientTempFiles", u"GetTemporaryFilePath", [&] {
        std::lock_guard<std::recursive_mutex> setup(setupMutex());
        if (!IsInitialized()) InitializeQorDirectory(nullptr);
        out = vcQorDir::GetDirectory(vcQorDir::kTemporaryRoot);
    });
}

}  // namespace pelox::host
