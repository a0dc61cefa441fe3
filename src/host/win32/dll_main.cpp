// The DLL's entry point. The library keeps no per-thread state that needs
// the loader's thread attach and detach notices, so it turns them off: a
// host that starts and ends many threads then never enters the loader lock
// on our account. Everything else happens in static constructors and
// destructors (the registries in load order, undone in reverse at unload).
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
