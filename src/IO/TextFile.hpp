// Reading a whole text file into memory, for the parsers that tokenise it.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

// Reads the regular file at `path` into `text`; false when it is missing, not
// a regular file (a directory, say) or cannot be read.
inline bool readTextFile(const std::string& path, std::string& text) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return false;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    text.assign(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    in.seekg(0);
    return static_cast<bool>(in.read(text.data(), static_cast<std::streamsize>(text.size())));
}
