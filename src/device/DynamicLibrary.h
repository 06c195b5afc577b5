// DynamicLibrary: a shared library loaded at run time, and lookups of its exports (dlopen/dlsym).
#pragma once

#include <string>

class DynamicLibrary {
public:
    // Loads the library at path (a bare file name uses the normal library search). Failure
    // leaves the object unloaded and keeps the loader's message in Error().
    explicit DynamicLibrary(const std::string& path);
    // Keeps the library loaded: the process uses its code until it ends.
    ~DynamicLibrary() = default;

    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    bool IsLoaded() const { return m_handle != nullptr; }
    const std::string& Error() const { return m_error; }
    // The address of an exported function or variable, or null when it has no such export.
    void* Symbol(const char* name) const;

private:
    void* m_handle = nullptr;
    std::string m_error;
};
