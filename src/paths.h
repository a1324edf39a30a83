// File names as the program holds them: UTF-8 text on Windows (taken from the wide command line),
// bytes as given elsewhere; turned into the host's own form only where a file is opened or
// looked at, so that names outside the ANSI code page work.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

// The host's path for a name the program holds.
std::filesystem::path native_path(const std::string& name);

// The name the program holds for a host path: the inverse of native_path.
std::string held_name(const std::filesystem::path& path);

// std::fopen for a name the program holds.
std::FILE* open_named(const std::string& name, const char* mode);

// Where a name leads through links, absolute and normal, even to a file not there yet: a sidecar
// linked to the target names it before the target exists.
std::filesystem::path led_to(const std::string& name);

// The path GDAL looks for beside a file: name with its extension, if any, replaced by extension.
std::string sidecar_path(const std::string& name, const std::string& extension);
