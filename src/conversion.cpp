#include "conversion.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "formats.h"
#include "grid_source.h"
#include "header.h"
#include "narrowing.h"
#include "paths.h"
#include "pipeline.h"
#include "platform.h"
#include "progress.h"
#include "raw_source.h"
#include "read_hint.h"
#include "sidecar_writer.h"
#include "source_hints.h"
#include "source_reader.h"
#include "target.h"
#include "text_rows.h"
#include "written_files.h"

namespace {

constexpr std::uint64_t WRITE_BEHIND_AFTER = std::uint64_t(8) << 20;
// The writer thread pays only with a core of its own: on two, beside the parse's two threads, its
// hand-offs took 450 context switches and 13 ms of system time a 144 MB grid (of 40), and the run
// was 3-6 % slower than writing on the converting thread.
constexpr int WRITE_BEHIND_FROM_THREADS = 3;

// Everything one run holds. Built up step by step by the converting thread alone.
struct conversion_job {
    const arguments* args = nullptr;
    std::string source_path;
    std::string target_path;
    element_format format = FMT_FLOAT;  // the target's
    bool raw = false;                   // the source is elements, on layout's grid
    raw_layout layout;
    grid_header header;                        // the grid's: read from text, or the layout's
    element_format source_format = FMT_ASCII;  // the layout's format for a raw source
    narrowing plan;
    grid_source source;
    source_reader reader;
    grid_target target;
};

std::uint64_t regular_file_size(const std::string& path) {
    std::error_code error;
    if (path == "-" || !std::filesystem::is_regular_file(native_path(path), error)) return 0;
    const std::uintmax_t size = std::filesystem::file_size(native_path(path), error);
    return error ? 0 : static_cast<std::uint64_t>(size);
}

// The threads that parse a large grid: RASTMILL_THREADS=N sets them, 1 keeps the whole run on
// one thread (no thread writes behind either); by default, up to one per core, started only when
// the grid gains from them.
pipeline_settings thread_settings() {
    return threads_from_setting(std::getenv("RASTMILL_THREADS"),
                                std::thread::hardware_concurrency());
}

// What the run is asked for, checked before the source is opened: the format, the target, the
// narrowing, and a raw source's layout (from --like, --from or its sidecar).
failure plan_job(conversion_job& job, bool output_closed) {
    const arguments& args = *job.args;
    if (args.overlap_given || args.snap_given) {
        return {MSG_ONLY_WITH_MOSAIC, args.overlap_given ? "--overlap" : "--snap"};
    }
    failure f = parse_format(args.operands[0], job.format);
    if (!f.failed()) {
        f = refuse_target(
            {job.target_path, job.source_path, job.format, args.sidecar, output_closed});
    }
    if (!f.failed()) {
        f = plan_narrowing(args.round, args.strict, args.map_nodata ? &args.nodata : nullptr,
                           job.format, job.plan);
    }
    if (f.failed()) return f;
    job.raw = args.raw || raw_by_sidecar(job.source_path);
    if (!job.raw) return {};
    std::optional<element_format> from;
    if (!args.from.empty()) {
        element_format named = FMT_ASCII;
        if (f = parse_format(args.from, named); f.failed()) return f;
        if (named == FMT_ASCII) {  // elements, not text
            std::string lowered = args.from;
            for (char& c : lowered)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return {MSG_BAD_FORMAT_NAME, lowered};
        }
        from = named;
    }
    f = find_raw_layout(job.source_path, args.like, from, job.layout);
    job.header = job.layout.header;
    job.source_format = job.layout.format;
    return f;
}

// The source opened, unpacked on a thread of its own where it is compressed, unless the run is
// kept on one thread.
failure open_source(conversion_job& job) {
    return open_grid_source(job.source, job.source_path, job.reader, !job.raw,
                            thread_settings().threads > 1);
}

// What the cells need before the first moves: a text source's header, with a hint saying what a
// source that is no grid is instead; a raw source's size against its layout.
failure read_grid(conversion_job& job) {
    if (job.raw) return {};
    const source_look look = look_at_source(job.reader);
    failure f = read_header(job.reader, job.header);
    if (f.detail == MSG_NOT_A_GRID) f.hint = not_a_grid_hint(look, job.source_path);
    if (!f.failed() && job.format == FMT_ASCII && job.header.nrows >= 1) {
        return {MSG_GRID_TO_ASCII, job.source_path};
    }
    return f;
}

// The grid checked against what is written, then the target opened and started: with more than
// one thread, a thread writes behind the others once the first megabytes reached the file.
failure open_target_file(conversion_job& job, pipeline_settings& settings) {
    const arguments& args = *job.args;
    const bool binary = job.format != FMT_ASCII;
    failure f = plan_nodata(job.header.nodata, job.source_format, job.format, job.plan);
    if (!f.failed() && job.raw) {
        f = check_raw_size(job.reader, job.source_path, job.header, job.source_format);
    }
    if (!f.failed()) {
        f = check_written_files(
            {job.source_path, job.reader.fd, job.target_path, binary, args.sidecar,
             prj_copied(job.source_path, args.like, job.raw), job.layout.template_path,
             job.raw ? raw_source_sidecars(job.source_path) : std::vector<std::string>{}});
    }
    std::FILE* file = stdout;
    if (!f.failed() && job.target_path != "-") f = open_file(job.target_path, "wb", file);
    if (f.failed()) return f;
    if (binary && is_terminal(file_descriptor(file))) return {MSG_TERMINAL_TARGET, job.target_path};
    settings = thread_settings();
    // The unpacking thread is one of the run's threads, the parse takes the others: on 2 cores a
    // 144 MB gzip took 0.24-0.27 s with a parsing worker beside it, 0.22 s without.
    if (job.source.unpacked != nullptr && settings.threads > 1) --settings.threads;
    open_target(
        job.target, file, TARGET_BLOCK_SIZE,
        settings.threads >= WRITE_BEHIND_FROM_THREADS ? WRITE_BEHIND_AFTER : NO_WRITE_BEHIND);
    return {};
}

// The cells through the one pipeline; a raw source written back as a grid gets its template's
// header and line ends first.
failure move_cells(conversion_job& job, pipeline_settings settings) {
    const std::string& text = job.layout.header_text;
    if (job.raw && job.format == FMT_ASCII) {
        write_binary_row(job.target, static_cast<std::int32_t>(text.size()), FMT_UCHAR,
                         text.data());
    }
    cell_text style;
    if (job.raw) {
        style = template_style(job.header, text, job.source_format);
        settings.text = &style;
    }
    settings.ends_with_grid = job.raw;
    settings.big_endian_source = job.layout.big_endian;
    settings.narrow = &job.plan;
    return move_rows(job.header.nrows, job.header.ncols, job.source_format, job.reader, job.format,
                     job.target, settings);
}

// The hints after a failure: the bad token and its line, read from a text source again; after
// --strict stopped at a cell that is the grid's no-data value, what to give.
void add_hints(const conversion_job& job, failure& f) {
    const arguments& args = *job.args;
    if (f.message == MSG_RAW_LONGER) f.detail = job.source_path;
    if (f.message == MSG_VALUE_CHANGES && args.strict && !args.map_nodata) {
        const bool nodata = job.raw ? element_is_nodata(job.source_path, f.value, job.source_format,
                                                        job.layout.big_endian, job.header.nodata)
                                    : token_is_nodata(job.source_path, f.value, job.header.nodata);
        if (nodata) f.hint = nodata_hint(job.header.nodata, job.format);
    }
    if (f.message == MSG_READ_ERROR && !job.raw) {
        const std::uint64_t cells = static_cast<std::uint64_t>(job.header.nrows) *
                                    static_cast<std::uint64_t>(job.header.ncols);
        f.hint = bad_value_hint(job.source_path, f.value, cells, job.format, args.round);
    }
}

// From the source's first byte to the target's last cell, with a progress line where a person
// watches; the failure is returned once the line is gone.
failure convert_cells(conversion_job& job) {
    progress_handle progress;
    if (progress_wanted()) {
        // The bytes counted are those unpacked: a compressed source's size says nothing of them.
        const bool compressed = job.source.unpacked != nullptr;
        progress = start_progress(job.reader, compressed ? 0 : regular_file_size(job.source_path));
    }
    pipeline_settings settings;
    failure f = read_grid(job);
    if (!f.failed()) f = open_target_file(job, settings);
    if (!f.failed()) f = move_cells(job, settings);
    f = check_grid_source(job.source, f);
    progress.reset();
    add_hints(job, f);
    return f;
}

// The target closed, then its sidecars: the .hdr (with the value the cells hold for the source's
// no-data value: N, or it wrapped or rounded) and the .prj, or the .prj alone beside a grid.
failure finish_target(conversion_job& job) {
    const grid_header& header = job.header;
    if (!close_target(job.target)) {
        const int width = info_of(job.format).width;
        const std::uint64_t cells = header.nrows < 1 || header.ncols < 1
                                        ? 0
                                        : static_cast<std::uint64_t>(header.nrows) *
                                              static_cast<std::uint64_t>(header.ncols);
        return {MSG_WRITE_ERROR, lost_value_position(job.target, header.ncols, width, cells)};
    }
    const arguments& args = *job.args;
    if (!args.sidecar) return {};
    const std::string prj = prj_copied(job.source_path, args.like, job.raw);
    if (job.format == FMT_ASCII) return write_prj(prj, job.target_path);
    grid_header written = header;
    written.nodata =
        nodata_in_target(header.nodata, job.source_format, job.format, job.plan).value_or("");
    return write_sidecars(written, job.format, prj, job.target_path);
}

}  // namespace

failure run_conversion(const arguments& args, bool output_closed) {
    conversion_job job;
    job.args = &args;
    job.source_path = args.operands[1];
    job.target_path = args.operands[2];
    failure f = plan_job(job, output_closed);
    if (!f.failed()) f = open_source(job);
    if (!f.failed()) f = convert_cells(job);
    close_grid_source(job.source);
    if (!f.failed()) f = finish_target(job);
    return f;
}
