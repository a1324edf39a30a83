// Many tiles, one grid: every tile's header placed before a byte is written, then every tile's
// cells through the one pipeline to their places in a temporary file beside the target, which
// becomes the target only once every tile is in.
#pragma once

#include "arguments.h"
#include "failure.h"

// Runs the mosaic args asks for (--mosaic FORMAT TILES TARGET); output_closed: standard output
// was closed when the run began. Every refusal comes before the temporary file is made; on any
// failure it is removed and an existing target is left as it was. Returns the failure that ends
// the run.
failure run_mosaic(const arguments& args, bool output_closed);
