// Loading and unloading the library at run time: objects still registered
// are freed with the library, nothing crashes, and a new load starts afresh.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>

namespace {

using CreateFn = int32_t (*)(int32_t);
using InfoFn = int32_t (*)(int32_t, int32_t);
using OptionFn = int32_t (*)(int32_t, const char16_t*);

struct Library {
    void* handle = dlopen(PELOX_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    ~Library() {
        if (handle) dlclose(handle);
    }
    template <class F>
    F fn(const char* name) {
        return reinterpret_cast<F>(dlsym(handle, name));
    }
};

}  // namespace

TEST(Unload, ObjectsLeftBehindAreFreedAndReloadStartsAfresh) {
    int32_t firstHandle = 0;
    for (int round = 0; round < 2; ++round) {
        Library lib;
        ASSERT_NE(lib.handle, nullptr) << dlerror();
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
