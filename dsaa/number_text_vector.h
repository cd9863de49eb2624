// The two routes of writeNumberTexts (number_text.h): many values at once
// with vector instructions, where the processor has them, and one value after
// the other. Private to the number text and its tests.
#pragma once

#include "dsaa/number_text.h"

#include <cstddef>

namespace brenzolt {

// True when this build has the vector route and the processor runs it.
bool hasVectorTexts() noexcept;

// writeNumberTexts by the vector route; only when hasVectorTexts().
char* writeNumberTextsInVectors(char* out, const float* values, std::size_t count,
                                NodeFormat format, float blankThreshold) noexcept;

// writeNumberTexts one value after the other, on every processor.
char* writeNumberTextsOneByOne(char* out, const float* values, std::size_t count, NodeFormat format,
                               float blankThreshold) noexcept;

} // namespace brenzolt
