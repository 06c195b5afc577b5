// DynamicLibrary: dlopen/dlsym behind a small interface, so the loader's rules read on their own.
#include "DynamicLibrary.h"

#include <dlfcn.h>

DynamicLibrary::DynamicLibrary(const std::string& path) {
    // RTLD_NOW: a library with unresolved symbols fails here instead of in the middle of a call.
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!m_handle) {
        const char* error = dlerror();
        m_error = error ? error : "cannot load " + path;
    }
}

void* DynamicLibrary::Symbol(const char* name) const {
    if (!m_handle) return nullptr;
    return dlsym(m_handle, name);
}
