// ModulePath: where a module that a program loads at run time lives, beside it or under lib/ruvo.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace ruvo {

// An installed program finds its modules in lib/ruvo beside its bin folder; one in the build
// tree, beside itself.
inline std::string ModulePath(const std::string& fileName) {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path dir = error ? std::filesystem::path(".") : program.parent_path();
    const std::filesystem::path installed = dir.parent_path() / "lib" / "ruvo" / fileName;
    if (std::filesystem::is_regular_file(installed, error)) return installed.string();
    return (dir / fileName).string();
}

}  // namespace ruvo
