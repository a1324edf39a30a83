// One conversion, from its arguments to the last byte of the target and its sidecars: the same
// steps in the same order for an Arc ascii grid source and a raw one.
#pragma once

#include "arguments.h"
#include "failure.h"

// Runs the conversion args asks for (three operands); output_closed: standard output was closed
// when the run began. Every refusal comes before the target is opened. Returns the failure that
// ends the run, once the progress line is gone.
failure run_conversion(const arguments& args, bool output_closed);
