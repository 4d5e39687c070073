// The JSON report: one document built from a finished Results record.
//
// Keys come in a fixed order (serialised with JSON_PRESERVE_ORDER and three
// spaces of indentation); every array is present, holding only the non-zero
// slots of its table in table order. The document is built once per run, so
// its cost is bounded by the tables, not by the log.
#pragma once

#include "results.h"

namespace vestrel {

// Returns the serialised document (no trailing newline), owned by the caller
// and released with std::free; nullptr when the library could not serialise
// it. A value the library cannot create (a file name that is not UTF-8) is
// left out with its key, the rest is built as usual.
char *build_report(const Results &results);

} // namespace vestrel
