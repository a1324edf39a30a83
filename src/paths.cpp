#include "paths.h"

#include <system_error>

#ifdef _WIN32
#include <cwchar>
#endif

std::filesystem::path native_path(const std::string& name) {
#ifdef _WIN32
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
#else
    return std::filesystem::path(name);
#endif
}

std::string held_name(const std::filesystem::path& path) {
#ifdef _WIN32
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
#else
    return path.string();
#endif
}

std::FILE* open_named(const std::string& name, const char* mode) {
#ifdef _WIN32
    std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(native_path(name).c_str(), wide_mode.c_str());
#else
    return std::fopen(name.c_str(), mode);
#endif
}

std::filesystem::path led_to(const std::string& name) {
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(native_path(name), error);
    for (int i = 0; i < 40 && std::filesystem::is_symlink(path, error); ++i) {
        const std::filesystem::path to = std::filesystem::read_symlink(path, error);
        if (error) break;
        path = (path.parent_path() / to).lexically_normal();
    }
    return path.lexically_normal();
}

std::string sidecar_path(const std::string& name, const std::string& extension) {
    return held_name(native_path(name).replace_extension(extension));
}
