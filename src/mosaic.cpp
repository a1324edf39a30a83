#include "mosaic.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "byte_order.h"
#include "exact_decimal.h"
#include "formats.h"
#include "grid_source.h"
#include "header.h"
#include "mosaic_plan.h"
#include "narrowing.h"
#include "paths.h"
#include "pipeline.h"
#include "platform.h"
#include "read_hint.h"
#include "sidecar_writer.h"
#include "source_reader.h"
#include "target.h"
#include "text_span.h"
#include "tile_list.h"
#include "written_files.h"

namespace {

// A header is read through a small block: tiles are many, and only their headers are wanted first.
constexpr std::size_t HEADER_BLOCK = std::size_t(16) << 10;
// Each tile's target block: small, as several tiles are in flight and a tile's rows are short.
constexpr std::size_t TILE_BLOCK = std::size_t(256) << 10;
constexpr std::size_t LONGEST_PRJ = std::size_t(1) << 20;

// A tile as the first look found it: what its cells need, and a print of its header that a
// second look must match.
struct mosaic_tile {
    std::string path;
    std::int32_t nrows = 0;
    std::int32_t ncols = 0;
    std::string nodata;
    std::size_t header_print = 0;
};

// Everything one mosaic holds; built by the converting thread, read only once tiles convert.
struct mosaic_job {
    const arguments* args = nullptr;
    std::string tiles_named;
    std::string target_path;
    element_format format = FMT_FLOAT;
    std::size_t width = 4;
    overlap_rule rule = overlap_rule::agree;
    double snap = 0;
    std::vector<mosaic_tile> tiles;
    tile_lattice lattice;
    mosaic_layout layout;
    std::string prj;  // the tiles' .prj, copied beside the target with --hdr; empty for none
    // The mosaic's no-data value as the target stores it, and its element (little-endian).
    std::optional<std::string> nodata;
    std::string nodata_from;  // the tile that gave it; empty for --nodata
    unsigned char nodata_element[8] = {};
    int fd = -1;
    std::string temporary;
    pipeline_settings settings;  // each tile's
};

std::size_t header_print(const grid_header& h) {
    const std::string all = std::to_string(h.nrows) + ' ' + std::to_string(h.ncols) + ' ' + h.xll +
                            ' ' + h.yll + ' ' + h.cellsize + ' ' + h.dx + ' ' + h.dy + ' ' +
                            h.nodata + (h.x_center ? "c" : "r") + (h.y_center ? "c" : "r");
    return std::hash<std::string>{}(all);
}

// A tile's path as messages show it: a folder's names may hold line ends and escapes.
std::string shown(const std::string& path) {
    return printable(path, false);
}

// Opens the tile (a member of the archive source already has open is read from it again) and
// reads its header; a compressed tile is unpacked on a thread of its own where own_thread is set.
failure read_tile_header(const std::string& path, std::size_t block, grid_source& source,
                         source_reader& reader, grid_header& header, bool own_thread) {
    if (failure f = open_grid_source(source, path, reader, true, own_thread, block); f.failed()) {
        return f;
    }
    failure f = read_header(reader, header);
    if (f.failed()) f = check_grid_source(source, f);
    // The header's own words stay, for scripts; the tile is named after them.
    if (f.message == MSG_FATAL) {
        f.detail += " " + shown(path);
    } else if (f.failed() && f.message != MSG_READ_ERROR) {
        f.hint = "in the header of tile " + shown(path);
    }
    return f;
}

// The options as the mosaic takes them, checked before anything is read.
failure plan_mosaic(mosaic_job& job, bool output_closed) {
    const arguments& args = *job.args;
    if (args.raw) return {MSG_NOT_WITH_MOSAIC, args.like.empty() ? "--from" : "--like"};
    failure f = parse_format(args.operands[0], job.format);
    if (f.failed()) return f;
    if (job.format == FMT_ASCII) return {MSG_MOSAIC_FORMAT, "ascii"};
    job.width = width_of(job.format);
    if (args.overlap_given) {
        if (args.overlap != "first" && args.overlap != "last") {
            return {MSG_BAD_OVERLAP, args.overlap, "give --overlap first or --overlap last"};
        }
        job.rule = args.overlap == "first" ? overlap_rule::first : overlap_rule::last;
    }
    if (args.snap_given) {
        char* end = nullptr;
        job.snap = std::strtod(args.snap.c_str(), &end);
        if (args.snap.empty() || end != args.snap.c_str() + args.snap.size() ||
            !is_decimal(args.snap) || !(job.snap >= 0 && job.snap < 0.5)) {
            return {MSG_BAD_SNAP, args.snap, "a number of cells from 0 to below 0.5, such as 1e-6"};
        }
    }
    narrowing plan;
    f = plan_narrowing(args.round, args.strict, args.map_nodata ? &args.nodata : nullptr,
                       job.format, plan);
    if (f.failed()) return f;
    const std::string& target = job.target_path;
    std::error_code error;
    const auto status = std::filesystem::status(native_path(target), error);
    if (target == "-" ||
        (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))) {
        return {MSG_MOSAIC_TARGET, target, "its rows are written at their places, into a file"};
    }
    return refuse_target({target, job.tiles_named, job.format, args.sidecar, output_closed});
}

// Every tile's header, read once and placed on the first tile's lattice.
failure place_tiles(mosaic_job& job, const std::vector<std::string>& paths) {
    std::vector<lattice_place> places;
    std::vector<cell_rect> sizes;
    grid_source source;  // kept open from tile to tile of one archive
    source_reader reader;
    for (const std::string& path : paths) {
        grid_header header;
        failure f = read_tile_header(path, HEADER_BLOCK, source, reader, header, false);
        // A bad first value right after the header is found with the tile's cells, where its
        // place in the mosaic is known; a header that could not be read places nothing.
        if (f.message == MSG_READ_ERROR) {
            f = reader.read_error
                    ? failure{MSG_CANNOT_OPEN, shown(path), "its header could not be read"}
                    : failure{};
        }
        if (!f.failed() && job.tiles.empty())
            f = start_lattice(header, path, job.snap, job.lattice);
        lattice_place place;
        if (!f.failed()) f = place_tile(job.lattice, header, path, place);
        if (f.failed()) return f;
        places.push_back(place);
        sizes.push_back({0, 0, header.nrows, header.ncols});
        job.tiles.push_back(
            {path, header.nrows, header.ncols, header.nodata, header_print(header)});
    }
    return lay_out(places, sizes, job.layout);
}

// Each tile is a regular file, listed once.
failure check_tiles(const std::vector<std::string>& paths, std::vector<file_identity>& tiles) {
    // Members of one archive are one file, told apart by their names.
    struct seen_tile {
        file_identity identity;
        std::string member;
        std::size_t index = 0;
    };
    std::vector<seen_tile> seen;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::string file = file_of_source(paths[i]);
        const file_identity identity = identity_of_path(file);
        if (!identity.known) {
            std::error_code error;
            if (!std::filesystem::exists(native_path(paths[i]), error)) {
                return {MSG_CANNOT_OPEN, shown(paths[i]), "no such file"};
            }
            if (std::filesystem::is_directory(native_path(paths[i]), error)) {
                return {MSG_TILE_NOT_FILE, shown(paths[i]),
                        "it is a folder: a list names one tile a line"};
            }
            return {MSG_TILE_NOT_FILE, shown(paths[i]),
                    "tiles are read twice: their headers, then their cells"};
        }
        tiles.push_back(identity);
        seen.push_back({identity, paths[i].substr(file.size()), i});
    }
    std::sort(seen.begin(), seen.end(), [](const seen_tile& a, const seen_tile& b) {
        return std::tie(a.identity.device, a.identity.index, a.member, a.index) <
               std::tie(b.identity.device, b.identity.index, b.member, b.index);
    });
    for (std::size_t i = 1; i < seen.size(); ++i) {
        if (same_file(seen[i - 1].identity, seen[i].identity) &&
            seen[i - 1].member == seen[i].member) {
            const std::size_t first = std::min(seen[i - 1].index, seen[i].index);
            const std::size_t later = std::max(seen[i - 1].index, seen[i].index);
            return {MSG_TILE_TWICE, shown(paths[later]), "the same file as " + shown(paths[first])};
        }
    }
    return {};
}

// The files a mosaic writes against those it reads: never a tile, a tile's .prj or the list;
// and a sidecar is never its own target.
failure check_mosaic_files(const mosaic_job& job, const std::vector<std::string>& paths) {
    std::vector<file_identity> read;
    if (failure f = check_tiles(paths, read); f.failed()) return f;
    for (const std::string& path : paths)
        read.push_back(identity_of_path(prj_of_source(path)));
    read.push_back(job.tiles_named == "-" ? identity_of_descriptor(0)
                                          : identity_of_path(job.tiles_named));
    std::vector<std::string> written = {job.target_path};
    if (job.args->sidecar) {
        written.push_back(sidecar_path(job.target_path, ".hdr"));
        written.push_back(sidecar_path(job.target_path, ".prj"));
    }
    for (const std::string& path : written) {
        const file_identity identity = identity_of_path(path);
        for (const file_identity& r : read) {
            if (same_file(identity, r)) {
                return {MSG_OVERWRITE, path,
                        "the mosaic reads it: it is a tile, a tile's .prj or the list of tiles"};
            }
        }
    }
    const file_identity target = identity_of_path(job.target_path);
    for (std::size_t i = 1; i < written.size(); ++i) {
        if (led_to(written[i]) == led_to(job.target_path) ||
            same_file(identity_of_path(written[i]), target)) {
            return {MSG_SIDECAR_IS_TARGET, written[i]};
        }
        // Found only once the mosaic had replaced the target, too late to keep it.
        std::error_code error;
        const auto status = std::filesystem::status(native_path(written[i]), error);
        if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
            return {MSG_CANNOT_OPEN, written[i], "a sidecar would go there; it is no regular file"};
        }
    }
    return {};
}

// The text of a .prj (a file, or a member of the tile's archive, which opened keeps open for
// the next), cut at LONGEST_PRJ; nothing where there is none, or where it is no regular file:
// opening a FIFO would wait for ever.
std::optional<std::string> prj_text(const std::string& path, grid_source& opened) {
    std::optional<std::string> text = small_source_text(path, LONGEST_PRJ, opened);
    if (!text) return text;
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r' || text->back() == ' '))
        text->pop_back();
    return text;
}

// The tiles' .prj files hold one text, or are absent.
failure check_prj(mosaic_job& job) {
    grid_source opened;
    std::optional<std::string> first;
    const mosaic_tile* first_tile = nullptr;
    for (const mosaic_tile& tile : job.tiles) {
        const std::string path = prj_of_source(tile.path);
        const std::optional<std::string> text = prj_text(path, opened);
        if (!text) continue;
        if (!first) {
            first = text;
            first_tile = &tile;
            job.prj = path;
        } else if (*text != *first) {
            return {MSG_PRJ_DIFFERS, shown(first_tile->path) + " and " + shown(tile.path),
                    shown(job.prj) + " and " + shown(path) +
                        " differ: the tiles of one mosaic are in one projection"};
        }
    }
    return {};
}

// The mosaic's no-data value: N, or the first tile's that has one, as the target stores it.
failure plan_mosaic_nodata(mosaic_job& job) {
    const arguments& args = *job.args;
    narrowing plan;
    failure f = plan_narrowing(args.round, args.strict, args.map_nodata ? &args.nodata : nullptr,
                               job.format, plan);
    if (f.failed()) return f;
    const auto take = [&](const std::string& text) {
        job.nodata = nodata_in_target(text, FMT_ASCII, job.format, plan);
        if (job.nodata && !parse_one_value(*job.nodata, job.format, job.nodata_element)) {
            job.nodata.reset();
        }
        return job.nodata.has_value();
    };
    if (args.map_nodata) {
        take("");
    } else {
        // Taken in the order of the tiles' names, not the list's: the mosaic's bytes do not
        // depend on how the list was made. A value the target cannot hold (-9999.5 into
        // shortint) is no cell's: the next tile's.
        std::vector<const mosaic_tile*> by_name;
        for (const mosaic_tile& tile : job.tiles)
            if (!tile.nodata.empty()) by_name.push_back(&tile);
        std::sort(by_name.begin(), by_name.end(),
                  [](const mosaic_tile* a, const mosaic_tile* b) { return a->path < b->path; });
        for (const mosaic_tile* tile : by_name) {
            if (take(tile->nodata)) {
                job.nodata_from = tile->path;
                break;
            }
        }
    }
    swap_to_little_endian(job.nodata_element, 1, job.width);
    if (job.nodata) return {};
    cell_rect first_gap;
    const bool covered = for_each_gap(job.layout, [&](const cell_rect& gap) {
        first_gap = gap;
        return false;
    });
    if (covered) return {};
    return {MSG_MOSAIC_GAP,
            row_column(static_cast<std::uint64_t>(first_gap.row),
                       static_cast<std::uint64_t>(first_gap.column)),
            "give --nodata N, the value those cells take"};
}

// The temporary file beside the target, new, the mosaic's size.
failure make_temporary(mosaic_job& job) {
    const std::uint64_t cells =
        static_cast<std::uint64_t>(job.layout.nrows) * static_cast<std::uint64_t>(job.layout.ncols);
    // Beyond the largest file size a system can name, the size would wrap.
    if (cells > static_cast<std::uint64_t>(INT64_MAX) / job.width) {
        return {MSG_MOSAIC_TOO_LARGE,
                std::to_string(job.layout.nrows) + " rows x " + std::to_string(job.layout.ncols) +
                    " columns",
                "its " + product_text(cells, job.width) + " bytes pass the largest file size"};
    }
    const std::uint64_t bytes = cells * job.width;
    for (int attempt = 0; attempt < 1000 && job.fd < 0; ++attempt) {
        job.temporary = job.target_path + ".rastmill-" + std::to_string(attempt) + ".part";
        job.fd = create_new_file(job.temporary);
        if (job.fd < 0 && errno != EEXIST) {
            return {MSG_CANNOT_OPEN, job.target_path, std::strerror(errno)};
        }
    }
    if (job.fd < 0) return {MSG_CANNOT_OPEN, job.target_path, "no free name beside it"};
    remove_on_signal(job.temporary);
    keep_mode_of(job.fd, job.target_path);
    if (!set_file_size(job.fd, bytes)) {
        return {MSG_WRITE_ERROR, row_column(0, 0), std::strerror(errno)};
    }
    return {};
}

// Cells no tile covers take the no-data value; a zero one is already there.
failure fill_gaps(const mosaic_job& job) {
    if (!job.nodata) return {};
    bool zero = true;
    for (std::size_t i = 0; i < job.width; ++i)
        zero = zero && job.nodata_element[i] == 0;
    if (zero) return {};
    std::vector<unsigned char> run(std::size_t(64) << 10);
    for (std::size_t i = 0; i < run.size(); ++i)
        run[i] = job.nodata_element[i % job.width];
    const std::size_t per_write = run.size() / job.width;
    const auto ncols = static_cast<std::uint64_t>(job.layout.ncols);
    failure lost;
    for_each_gap(job.layout, [&](const cell_rect& gap) {
        for (std::int32_t r = gap.row; r < gap.row + gap.nrows; ++r) {
            for (std::int32_t c = gap.column; c < gap.column + gap.ncols;) {
                const std::size_t n = std::min<std::size_t>(
                    per_write, static_cast<std::size_t>(gap.column + gap.ncols - c));
                const auto row = static_cast<std::uint64_t>(r);
                const auto column = static_cast<std::uint64_t>(c);
                const std::uint64_t at = (row * ncols + column) * job.width;
                if (write_at(job.fd, run.data(), n * job.width, at) != n * job.width) {
                    lost = {MSG_WRITE_ERROR, row_column(row, column)};
                    return false;
                }
                c += static_cast<std::int32_t>(n);
            }
        }
        return true;
    });
    return lost;
}

// The narrowing of one tile: its no-data value mapped to the mosaic's where the target would
// store them apart.
failure tile_narrowing(const mosaic_job& job, const mosaic_tile& tile, narrowing& plan) {
    const arguments& args = *job.args;
    const std::string& nodata = tile.nodata;
    failure f = plan_narrowing(args.round, args.strict, nullptr, job.format, plan);
    if (f.failed() || nodata.empty() || !job.nodata) return f;
    const std::optional<std::string> stored = nodata_in_target(nodata, FMT_ASCII, job.format, plan);
    // A value no cell can hold needs no mapping; one stored as the mosaic's needs none either.
    if (!stored || (!args.map_nodata && *stored == *job.nodata)) return {};
    f = plan_narrowing(args.round, args.strict, &*job.nodata, job.format, plan);
    // The first tile's value as stored (1e39 as float: inf) may be no value to write for others.
    if (f.message == MSG_BAD_NODATA && !job.nodata_from.empty()) {
        f.hint = "the no-data value of " + shown(job.nodata_from) + " as " +
                 std::string(info_of(job.format).name) + " stores it cannot stand for " +
                 shown(tile.path) + "'s " + printable(nodata, false) +
                 ": give --nodata N, the value no-data cells take";
    }
    if (!f.failed()) f = plan_nodata(nodata, FMT_ASCII, job.format, plan);
    return f;
}

tile_placement placement_of(const mosaic_job& job, std::size_t index,
                            const std::vector<tile_overlap>& overlaps) {
    const cell_rect& rect = job.layout.tiles[index];
    tile_placement place;
    place.fd = job.fd;
    place.width = job.width;
    place.row_stride = static_cast<std::uint64_t>(job.layout.ncols) * job.width;
    place.row_bytes = static_cast<std::size_t>(rect.ncols) * job.width;
    place.origin = static_cast<std::uint64_t>(rect.row) * place.row_stride +
                   static_cast<std::uint64_t>(rect.column) * job.width;
    place.rule = job.rule;
    for (const tile_overlap& o : overlaps) {
        place.covered.push_back(
            {o.cells.row - rect.row, o.cells.column - rect.column, o.cells.nrows, o.cells.ncols});
    }
    return place;
}

std::string element_text_le(element_format format, const unsigned char* little_endian) {
    unsigned char host[8];
    std::memcpy(host, little_endian, width_of(format));
    swap_to_little_endian(host, 1, width_of(format));
    return element_text(format, host);
}

// A tile's failure in the mosaic's rows and columns, with a hint naming the tile and its own.
failure in_mosaic(const mosaic_job& job, std::size_t index, const grid_target& target, failure f) {
    const cell_rect& rect = job.layout.tiles[index];
    const mosaic_tile& tile = job.tiles[index];
    const auto ncols = static_cast<std::uint64_t>(tile.ncols);
    std::uint64_t value = f.value;
    if (target.differs.at != NO_CELLS) {
        value = target.differs.at / job.width;
    } else if (f.message == MSG_WRITE_ERROR) {
        value = target.committed / job.width;
    } else if (f.message != MSG_READ_ERROR && f.message != MSG_VALUE_CHANGES) {
        return f;
    }
    const std::uint64_t row = value / ncols;
    const std::uint64_t column = value % ncols;
    const std::uint64_t mosaic_row = static_cast<std::uint64_t>(rect.row) + row;
    const std::uint64_t mosaic_column = static_cast<std::uint64_t>(rect.column) + column;
    const std::string own = "row " + std::to_string(row) + " column " + std::to_string(column) +
                            " of tile " + shown(tile.path);
    failure placed{f.message, row_column(mosaic_row, mosaic_column)};
    placed.value = mosaic_row * static_cast<std::uint64_t>(job.layout.ncols) + mosaic_column;
    if (target.differs.at != NO_CELLS) {
        placed.message = MSG_TILES_DISAGREE;
        std::string earlier;
        for (const tile_overlap& o : overlaps_before(job.layout, index)) {
            const auto top = static_cast<std::uint64_t>(o.cells.row);
            const auto left = static_cast<std::uint64_t>(o.cells.column);
            if (mosaic_row >= top && mosaic_row < top + static_cast<std::uint64_t>(o.cells.nrows) &&
                mosaic_column >= left &&
                mosaic_column < left + static_cast<std::uint64_t>(o.cells.ncols)) {
                earlier = shown(job.tiles[o.earlier].path);
                break;
            }
        }
        unsigned char held[8] = {};
        read_at(job.fd, held, job.width, placed.value * job.width);
        placed.hint = earlier + " holds " + element_text_le(job.format, held) + " there and " +
                      shown(tile.path) + " " + element_text_le(job.format, target.differs.element) +
                      " (" + own + "); --overlap first or --overlap last takes one of them";
    } else if (f.message == MSG_READ_ERROR) {
        const std::string token =
            bad_value_hint(tile.path, value, ncols * static_cast<std::uint64_t>(tile.nrows),
                           job.format, job.args->round);
        placed.hint = own + (token.empty() ? "" : ": " + shown(token));
    } else if (f.message == MSG_VALUE_CHANGES) {
        placed.hint = own;
        if (job.args->strict && token_is_nodata(tile.path, value, tile.nodata)) {
            placed.hint += ": " + nodata_hint(tile.nodata, job.format);
        }
    } else {
        placed.hint = own;
    }
    return placed;
}

// What a thread converting tiles keeps from one to the next: its memory, warm.
struct tile_slot {
    grid_source source;
    source_reader reader;
    grid_target target;
    kept_chunk chunk;
};

// One tile's cells through the pipeline to their places, overlaps those with the tiles before
// it; any thread runs it. The reader's block is small: the chunks are read straight from the file.
failure convert_tile(const mosaic_job& job, std::size_t index,
                     const std::vector<tile_overlap>& overlaps, tile_slot& slot) {
    const mosaic_tile& tile = job.tiles[index];
    source_reader& reader = slot.reader;
    grid_header header;
    failure f = read_tile_header(tile.path, HEADER_BLOCK, slot.source, reader, header,
                                 job.settings.threads > 1);
    if (!f.failed() && header_print(header) != tile.header_print) {
        f = {MSG_TILE_CHANGED, shown(tile.path), "its header is not the one read before"};
    }
    narrowing plan;
    if (!f.failed()) f = tile_narrowing(job, tile, plan);
    if (f.failed()) {
        const grid_target untouched;
        return f.message == MSG_READ_ERROR ? in_mosaic(job, index, untouched, f) : f;
    }
    const tile_placement place = placement_of(job, index, overlaps);
    grid_target& target = slot.target;
    open_placed_target(target, place, TILE_BLOCK);
    pipeline_settings settings = job.settings;
    settings.narrow = &plan;
    settings.kept = &slot.chunk;
    f = move_rows(tile.nrows, tile.ncols, FMT_ASCII, reader, job.format, target, settings);
    f = check_grid_source(slot.source, f);
    const bool closed = close_target(target);
    if (!f.failed() && !closed) f = {MSG_WRITE_ERROR, ""};
    if (f.failed()) f = in_mosaic(job, index, target, f);
    return f;
}

// Shared by the threads that convert tiles; every field is read and written under lock. Tiles are
// taken in list order, and one waits for the tiles before it that it overlaps, so what a tile
// compares with is in the file. After a failure no tile after it is taken; the tiles before it
// finish, so the failure returned is that of the first failing tile in list order, at any count.
struct tile_queue {
    std::mutex lock;
    std::condition_variable changed;  // a tile was done
    std::size_t next = 0;             // the next tile to take
    std::vector<bool> done;
    std::size_t done_below = 0;  // every tile before it is done
    std::size_t failed_at = SIZE_MAX;
    failure first_failure;
};

void convert_tiles(const mosaic_job& job, tile_queue& queue) {
    tile_slot slot;
    std::unique_lock<std::mutex> held(queue.lock);
    for (;;) {
        if (queue.next >= job.tiles.size() || queue.next > queue.failed_at) return;
        const std::size_t index = queue.next++;
        held.unlock();
        const std::vector<tile_overlap> overlaps = overlaps_before(job.layout, index);
        const std::size_t after = overlaps.empty() ? 0 : overlaps.back().earlier + 1;
        held.lock();
        queue.changed.wait(held,
                           [&] { return queue.done_below >= after || queue.failed_at < index; });
        failure f;
        if (queue.failed_at > index) {
            held.unlock();
            f = convert_tile(job, index, overlaps, slot);
            held.lock();
        }
        queue.done[index] = true;
        while (queue.done_below < queue.done.size() && queue.done[queue.done_below])
            ++queue.done_below;
        if (f.failed() && index < queue.failed_at) {
            queue.failed_at = index;
            queue.first_failure = f;
        }
        queue.changed.notify_all();
    }
}

// The tiles on up to settings.threads threads, the converting thread among them; a tile's own
// pipeline takes the threads left over when tiles are fewer.
failure convert_all(mosaic_job& job, const pipeline_settings& run) {
    const std::size_t slots = std::max<std::size_t>(
        1, std::min<std::size_t>(static_cast<std::size_t>(run.threads), job.tiles.size()));
    job.settings = run;
    job.settings.threads = std::max(1, run.threads / static_cast<int>(slots));
    tile_queue queue;
    queue.done.assign(job.tiles.size(), false);
    std::vector<std::thread> helpers;
    for (std::size_t i = 1; i < slots; ++i) {
        try {
            helpers.emplace_back(convert_tiles, std::cref(job), std::ref(queue));
        } catch (const std::exception&) {
            break;  // fewer threads do the same work
        }
    }
    convert_tiles(job, queue);
    for (std::thread& helper : helpers)
        helper.join();
    return queue.first_failure;
}

// The mosaic's file becomes the target, then its sidecars follow.
failure finish_mosaic(mosaic_job& job) {
    const bool closed = close_descriptor(job.fd);
    job.fd = -1;
    if (!closed) return {MSG_WRITE_ERROR, job.target_path};
    if (!replace_file(job.temporary, job.target_path)) {
        return {MSG_WRITE_ERROR, job.target_path, std::strerror(errno)};
    }
    remove_on_signal("");
    job.temporary.clear();
    if (!job.args->sidecar) return {};
    grid_header header = mosaic_header(job.lattice, job.layout);
    header.nodata = job.nodata.value_or("");
    return write_sidecars(header, job.format, job.prj, job.target_path);
}

}  // namespace

failure run_mosaic(const arguments& args, bool output_closed) {
    mosaic_job job;
    job.args = &args;
    job.tiles_named = args.operands[1];
    job.target_path = args.operands[2];
    failure f = plan_mosaic(job, output_closed);
    std::vector<std::string> paths;
    if (!f.failed()) f = read_tile_list(job.tiles_named, paths);
    if (!f.failed()) f = check_mosaic_files(job, paths);
    if (!f.failed()) f = place_tiles(job, paths);
    if (!f.failed()) f = check_prj(job);
    if (!f.failed()) f = plan_mosaic_nodata(job);
    if (!f.failed()) f = make_temporary(job);
    if (!f.failed()) {
        f = convert_all(job, threads_from_setting(std::getenv("RASTMILL_THREADS"),
                                                  std::thread::hardware_concurrency()));
    }
    // After the tiles: a tile that fails does so before gigabytes of gaps are written.
    if (!f.failed()) f = fill_gaps(job);
    if (!f.failed()) f = finish_mosaic(job);
    if (job.fd >= 0) close_descriptor(job.fd);
    if (!job.temporary.empty()) {
        std::error_code error;
        std::filesystem::remove(native_path(job.temporary), error);
        remove_on_signal("");
    }
    return f;
}
