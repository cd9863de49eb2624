// The routes of writeNumberTexts (number_text.h), each a table of row writers
// by conversion, and what the dispatch (dispatch.cpp) chooses from. Private
// to the number text, its tests and its benchmarks.
//
// The floors: decimal17 and the quick roundings; the scalar route
// (scalar.cpp, formatFloat and its row writers); the AVX2 route (avx2.cpp),
// which leaves the values its quick roundings cannot take to formatFloat;
// the dispatch, which calls a route and is called by none.
#pragma once

#include "number_text/number_text.h"

#include <array>
#include <cstddef>

namespace brenzolt {

// writeNumberTexts for one conversion.
using RowWriter = char* (*)(char* out, const float* values, std::size_t count,
                            float blankThreshold) noexcept;
using RowWriters = std::array<RowWriter, kConversionCount>;

// One value after the other, on every processor.
const RowWriters& scalarRowWriters() noexcept;

// Eight values at a time with AVX2; nullptr where this build has no such
// route or the processor cannot run it.
const RowWriters* avx2RowWriters() noexcept;

} // namespace brenzolt
