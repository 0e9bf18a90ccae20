// Paths as the caller gave them: byte strings used unchanged.
#pragma once

#include <fstream>
#include <string>

// A path with an embedded NUL would silently name a different, shorter path
// once it reaches the C library.
inline bool has_embedded_nul(const std::string& path) {
    return path.find('\0') != std::string::npos;
}

// Writes `text` as the whole of the file at `path`; false when it could not
// be written whole (a path with a NUL in it included).
inline bool write_text_file(const std::string& path, const std::string& text) {
    if (has_embedded_nul(path))
        return false;
    std::ofstream file(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file.is_open())
        return false;
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    return !file.fail();
}

// The directory part of `path` with its trailing "/", or "" for a bare name.
inline std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
