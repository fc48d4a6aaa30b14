#include "loader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace loader {

void *symbol(const std::string &path, const std::string &name)
{
#if defined(_WIN32)
    HMODULE h = LoadLibraryA(path.c_str());
    return h ? reinterpret_cast<void *>(GetProcAddress(h, name.c_str())) : nullptr;
#else
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return h ? dlsym(h, name.c_str()) : nullptr;
#endif
}

standin::Gateway load(const std::string &path, const std::string &symbol, std::string &error)
{
#if defined(_WIN32)
    HMODULE h = LoadLibraryA(path.c_str());
    if (!h) {
        error = "LoadLibrary failed for " + path + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    FARPROC f = GetProcAddress(h, symbol.c_str());
    if (!f) {
        error = path + " does not export " + symbol;
        return nullptr;
    }
    return reinterpret_cast<standin::Gateway>(reinterpret_cast<void *>(f));
#else
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char *why = dlerror();
        error = why ? why : ("dlopen failed for " + path);
        return nullptr;
    }
    void *f = dlsym(h, symbol.c_str());
    if (!f) {
        error = path + " does not export " + symbol;
        return nullptr;
    }
    return reinterpret_cast<standin::Gateway>(f);
#endif
}

} // namespace loader
