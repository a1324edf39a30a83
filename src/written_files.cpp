#include "written_files.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "grid_source.h"
#include "header.h"
#include "paths.h"
#include "platform.h"
#include "sidecar_writer.h"
#include "source_reader.h"

namespace {

// Whether two paths are spelled as one (Windows folds letter case), whether or not they exist.
bool same_path(const std::string& a, const std::string& b) {
    std::string x = held_name(native_path(a).lexically_normal());
    std::string y = held_name(native_path(b).lexically_normal());
#ifdef _WIN32
    std::transform(x.begin(), x.end(), x.begin(), [](unsigned char c) { return std::tolower(c); });
    std::transform(y.begin(), y.end(), y.begin(), [](unsigned char c) { return std::tolower(c); });
#endif
    return x == y;
}

struct kept_file {
    file_identity identity;
    std::string what;  // for the hint: what the file is to this run
};

std::vector<kept_file> files_kept(const written_files& run) {
    std::vector<kept_file> kept;
    kept.push_back({identity_of_descriptor(run.source_fd), "the source"});
    auto add = [&](const std::string& path, const std::string& what) {
        if (!path.empty() && path != "-") kept.push_back({identity_of_path(path), what});
    };
    if (run.source != "-") add(prj_of_source(run.source), "the source's .prj");
    // A template in an archive is the archive's file; its .prj is found as a source's is.
    add(file_of_source(run.template_path), "the template");
    if (!run.template_path.empty() && run.template_path != "-") {
        add(prj_of_source(run.template_path), "the template's .prj");
    }
    add(run.prj_from, "the .prj the run copies");
    for (const std::string& path : run.source_sidecars)
        add(path, "the source's sidecar");
    return kept;
}

const kept_file* kept_as(const std::vector<kept_file>& kept, const file_identity& written) {
    for (const kept_file& file : kept) {
        if (same_file(written, file.identity)) return &file;
    }
    return nullptr;
}

// A file written under the name of a raw source's .hdr, where none lies yet, would describe the
// source as something else to the next run and to GDAL. (A .prj copied there gives the source the
// projection of its own grid.)
failure named_as_source_sidecar(const written_files& run, const std::string& path) {
    for (const std::string& name : run.source_sidecars) {
        if (native_path(name).extension() != ".prj" && same_path(path, name)) {
            return {MSG_SOURCE_SIDECAR_NAME, path,
                    "GIS tools would read it as the sidecar of " + run.source +
                        ": name the target otherwise"};
        }
    }
    return {};
}

}  // namespace

std::vector<std::string> raw_source_sidecars(const std::string& source) {
    if (source == "-") return {};
    // GDAL finds them in either letter case.
    return {sidecar_path(source, ".hdr"), source + ".hdr", sidecar_path(source, ".HDR"),
            source + ".HDR", sidecar_path(source, ".prj")};
}

failure check_written_files(const written_files& run) {
    const std::vector<kept_file> kept = files_kept(run);
    const file_identity target =
        run.target == "-" ? identity_of_descriptor(1) : identity_of_path(run.target);
    if (const kept_file* file = kept_as(kept, target)) {
        return {MSG_OVERWRITE, run.target, "the target is " + file->what};
    }
    if (failure f = named_as_source_sidecar(run, run.target); f.failed()) return f;
    if (!run.sidecar) return {};
    const file_identity copied =
        run.prj_from.empty() ? file_identity{} : identity_of_path(run.prj_from);
    for (const char* extension : {".hdr", ".prj"}) {
        const bool prj = extension[1] == 'p';
        if (!prj && !run.binary_target) continue;
        const std::string path = sidecar_path(run.target, extension);
        const file_identity written = identity_of_path(path);
        if (same_path(path, run.target) || same_file(written, target) ||
            (run.target != "-" && led_to(path) == led_to(run.target))) {
            return {MSG_SIDECAR_IS_TARGET, path};
        }
        // The target's .prj may be the very one copied: it is left as it is then.
        if (prj && same_file(written, copied)) continue;
        if (const kept_file* file = kept_as(kept, written)) {
            return {MSG_OVERWRITE, path, "it is " + file->what};
        }
        if (failure f = named_as_source_sidecar(run, path); f.failed()) return f;
    }
    return {};
}

failure refuse_grid_target(const std::string& target, const std::string& source) {
    std::error_code error;
    if (target == "-" || !std::filesystem::is_regular_file(native_path(target), error)) return {};
    const file_identity read =
        source == "-" ? identity_of_descriptor(0) : identity_of_path(file_of_source(source));
    if (same_file(identity_of_path(target), read)) return {};
    std::FILE* file = open_named(target, "rb");
    if (file == nullptr) return {};  // opening it for writing says why
    source_reader reader;
    // A header is a few hundred bytes: a large block would only read, and fault in, more of it.
    open_reader(reader, file_descriptor(file), true, HEADER_BLOCK_SIZE);
    grid_header header;
    // A gzip file or a zip archive: grids as they are handed out, so operands swapped.
    const std::size_t start = ensure_bytes(reader, 4);
    const bool compressed = (start >= 2 && reader.pos[0] == '\x1f' && reader.pos[1] == '\x8b') ||
                            looks_like_zip(reader.pos, start);
    const failure f = compressed ? failure{} : read_header(reader, header);
    std::fclose(file);
    if (compressed) {
        return {MSG_COMPRESSED_TARGET, target,
                "check the order of the operands: rastmill FORMAT SOURCE TARGET"};
    }
    if (f.detail == MSG_NOT_A_GRID || f.message == MSG_READ_ERROR) return {};
    return {MSG_GRID_TARGET, target,
            "check the order of the operands: rastmill FORMAT SOURCE TARGET"};
}

bool beside_devices(const std::string& target) {
#ifdef _WIN32
    (void)target;
    return false;
#else
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::weakly_canonical(
        std::filesystem::absolute(native_path(target), error).parent_path(), error);
    const std::string name = held_name(folder);
    for (const std::string root : {"/dev", "/proc"}) {
        if (name == root || name.rfind(root + "/", 0) == 0) return true;
    }
    return false;
#endif
}

namespace {

// Where --hdr cannot give a sidecar GIS tools read beside the target: a format they do not take,
// a target that is no regular file (standard output, a device such as /dev/stdout, a FIFO),
// beside which the sidecar would land in /dev or nowhere.
failure refuse_unwritable_sidecar(element_format format, const std::string& target) {
    if (!sidecar_supported(format)) return {MSG_SIDECAR_FORMAT, std::string(info_of(format).name)};
    if (target == "-") return {MSG_NO_SIDECAR, target};
    std::error_code error;
    const auto status = std::filesystem::status(native_path(target), error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        return {MSG_SIDECAR_NOT_FILE, target};
    }
    // /dev/stdout onto a file: the sidecar would land in /dev.
    if (beside_devices(target)) return {MSG_NO_SIDECAR, target};
    return {};
}

}  // namespace

failure refuse_target(const target_asked& asked) {
    const std::string& target = asked.target;
    const bool binary = asked.format != FMT_ASCII;
    // A closed standard output has /dev/null behind it now: the cells would vanish into it.
    if (target == "-" && asked.output_closed) return {MSG_CANNOT_OPEN, target};
    if (binary && (target == "-" ? is_terminal(1) : names_terminal(target))) {
        return {MSG_TERMINAL_TARGET, target};
    }
    if (asked.sidecar) {
        if (failure f = refuse_unwritable_sidecar(asked.format, target); f.failed()) return f;
    }
    return binary ? refuse_grid_target(target, asked.source) : failure{};
}

std::string prj_copied(const std::string& source, const std::string& like, bool raw) {
    const std::string& of = raw && !like.empty() ? like : source;
    return of == "-" ? "" : prj_of_source(of);
}
