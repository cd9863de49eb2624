// The dispatch of writeNumberTexts: the route is chosen once, on first use,
// from what the processor has; every row after that is one indirect call.
#include "number_text/number_text.h"

#include "number_text/number_text_routes.h"

namespace brenzolt {

namespace {

// The fastest route the processor runs.
const RowWriters& bestRowWriters() noexcept {
    if (const RowWriters* avx2 = avx2RowWriters())
        return *avx2;
    return scalarRowWriters();
}

} // namespace

char* writeNumberTexts(char* out, const float* values, std::size_t count, NodeFormat format,
                       float blankThreshold) noexcept {
    // Made once (thread-safe), and never changed after.
    static const RowWriters& writers = bestRowWriters();
    return writers[static_cast<std::size_t>(format)](out, values, count, blankThreshold);
}

} // namespace brenzolt
