// The room the benchmarks and the exhaustive check give rows of any
// conversion: the most that numberTextRoom asks for any of them.
#pragma once

#include "number_text/number_text.h"

#include <algorithm>
#include <cstddef>

inline std::size_t textRoomOfAnyConversion(std::size_t count) {
    std::size_t most = 0;
    for (std::size_t place = 0; place < brenzolt::kConversionCount; ++place)
        most = std::max(most, brenzolt::numberTextRoom(count, brenzolt::NodeFormat(place)));
    return most;
}
