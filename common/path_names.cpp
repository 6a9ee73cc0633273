// SPDX-License-Identifier: MIT
// File-name splitters: plain text scans, no file system access.
#include "common/path_names.h"

namespace {

constexpr const char* kSeparators = "\\:/";

} // namespace

std::string ExtractDirectory(const std::string& path) {
    const std::size_t sep = path.find_last_of(kSeparators);
    return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}

std::string ExtractTitle(const std::string& path) {
    const std::size_t sep = path.find_last_of(kSeparators);
    std::string name = sep == std::string::npos ? path : path.substr(sep + 1);
    const std::size_t dot = name.find('.');
    if (dot != std::string::npos) name.erase(dot);
    return name;
}

std::string ExtractExtension(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos) return path;
    return path.substr(dot + 1);
}
