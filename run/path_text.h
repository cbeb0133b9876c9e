#pragma once

#include <filesystem>
#include <string>

// A path as UTF-8 text in a narrow string: the form the EXR library and the
// error messages take. The one place where paths become UTF-8.
inline std::string PathToUtf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The path that UTF-8 text names.
inline std::filesystem::path PathFromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}
