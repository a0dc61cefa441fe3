// Loading and unloading the library at run time: objects still registered
// are freed with the library, nothing crashes, and a new load starts afresh.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdint>
#include <string>

namespace {

using CreateFn = int32_t (*)(int32_t);
using InfoFn = int32_t (*)(int32_t, int32_t);
using OptionFn = int32_t (*)(int32_t, const char16_t*);

#ifdef _WIN32
// LoadLibraryW of the DLL's full path (the build tree's, which Wine finds
// on the current drive, Z:), with Windows separators; FreeLibrary unloads
// it.
std::wstring libraryPath() {
    std::wstring path(PELOX_LIBRARY_FILE, PELOX_LIBRARY_FILE + sizeof PELOX_LIBRARY_FILE - 1);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

struct Library {
    HMODULE handle = LoadLibraryW(libraryPath().c_str());
    ~Library() {
        if (handle) FreeLibrary(handle);
    }
    template <class F>
    F fn(const char* name) {
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(handle, name)));
    }
    static std::string error() { return "error " + std::to_string(GetLastError()); }
};
#else
struct Library {
    void* handle = dlopen(PELOX_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    ~Library() {
        if (handle) dlclose(handle);
    }
    template <class F>
    F fn(const char* name) {
        return reinterpret_cast<F>(dlsym(handle, name));
    }
    static std::string error() { return dlerror(); }
};
#endif

}  // namespace

TEST(Unload, ObjectsLeftBehindAreFreedAndReloadStartsAfresh) {
    int32_t firstHandle = 0;
    for (int round = 0; round < 2; ++round) {
        Library lib;
        ASSERT_NE(lib.handle, nullptr) << Library::error();
        auto create = lib.fn<CreateFn>("peloxImp_createObject");
        auto info = lib.fn<InfoFn>("pelox_getPeloxInfo");
        auto option = lib.fn<OptionFn>("pelox_setPeloxOptions");
        ASSERT_TRUE(create && info && option);
        const int32_t s = create(1);
        if (round == 0) firstHandle = s;
        EXPECT_EQ(s, firstHandle) << "a new load numbers handles from the start again";
        for (int i = 0; i < 100; ++i) {
            EXPECT_EQ(info(200, create(1)), 0);
            create(2);
            create(3);
            create(4);
        }
        EXPECT_EQ(option(100, u"3"), 0);
    }
}
