#include "dsaa/node_format.h"

namespace brenzolt {

NodeFormat selectNodeFormat(std::string_view precisionText) noexcept {
    // Widths of the fixed forms "%6.0f" .. "%10.8f": 6 up to 4 decimals, then
    // one more per decimal.
    constexpr int kFixedWidths[] = {6, 6, 6, 6, 6, 7, 8, 9, 10};
    char code = precisionText.empty() ? '\0' : precisionText.front();
    if (code >= '0' && code <= '8') {
        int decimals = code - '0';
        return NodeFormat{NumberKind::fixed, kFixedWidths[decimals], decimals};
    }
    if (code == '9')
        return NodeFormat{NumberKind::general, 10, 8};
    return kPercentG;
}

} // namespace brenzolt
