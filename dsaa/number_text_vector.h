// The two routes of writeNumberTexts (number_text.h): many values at once
// with vector instructions, where the processor has them, and one value after
// the other. Private to the number text and its tests.
#pragma once

#include "dsaa/number_text.h"

#include <cstddef>

namespace brenzolt {

// True when the vector route takes values in `format`: this build has it,
// the processor runs it, and it makes the texts of most node values. It makes
// at most eight digits, so "%8.6f" .. "%10.8f" (nine and more for values from
// 100, 10 and 1 up) are left to the other.
bool hasVectorTexts(NodeFormat format) noexcept;

// writeNumberTexts by the vector route; only when hasVectorTexts(format).
char* writeNumberTextsInVectors(char* out, const float* values, std::size_t count,
                                NodeFormat format, float blankThreshold) noexcept;

// writeNumberTexts one value after the other, on every processor.
char* writeNumberTextsOneByOne(char* out, const float* values, std::size_t count, NodeFormat format,
                               float blankThreshold) noexcept;

} // namespace brenzolt
