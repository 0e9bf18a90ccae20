// Paths as the caller gave them: byte strings used unchanged.
#pragma once

#include <string>

// A path with an embedded NUL would silently name a different, shorter path
// once it reaches the C library.
inline bool has_embedded_nul(const std::string& path) {
    return path.find('\0') != std::string::npos;
}

// The directory part of `path` with its trailing "/", or "" for a bare name.
inline std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
