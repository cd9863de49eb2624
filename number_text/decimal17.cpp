// Float to decimal digits, rounded twice as decimal17.h says.
//
// Contract: no throw, no allocation, exact for every finite float. Up to ten
// kept digits, one multiplication by a 64-bit power of ten decides both
// roundings at once for nearly every value; more digits take the 17 digits
// first (one such multiplication, ties to even) and round those on. The few
// values too close to a rounding boundary for the approximation take the
// standard library's exact route.
#include "number_text/decimal17.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <iterator>

namespace brenzolt {

namespace {

__extension__ typedef unsigned __int128 uint128;

struct PowerOfTen {
    std::uint64_t significand;
    int binaryExponent;
    bool exact;
};

#include "number_text/powers_of_ten.inc"

static_assert(std::size(kPowersOfTen) == kPowerTableHigh - kPowerTableLow + 1);

// The slow, always exact route: the standard library's shortest-free
// scientific conversion rounds the binary value to 17 digits, ties to even.
[[gnu::noinline]] Decimal decimal17FromChars(double value) {
    char text[40];
    auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 16);
    const char* p = text + (value < 0 ? 1 : 0);
    Decimal d{0, 0};
    for (; p < result.ptr && *p != 'e'; ++p)
        if (*p != '.')
            d.digits = d.digits * 10 + static_cast<std::uint64_t>(*p - '0');
    ++p; // 'e'
    int sign = *p == '-' ? -1 : 1;
    int exponent = 0;
    for (++p; p < result.ptr; ++p)
        exponent = exponent * 10 + (*p - '0');
    d.exponent = sign * exponent;
    return d;
}

// A finite nonzero float as m x 2^e, m normalised to [2^23, 2^24) (subnormals
// too), with its decimal exponent k = floor(log10(value)).
struct Binary {
    std::uint32_t m;
    int e;
    int k;
};

// For a finite float: not zero or subnormal.
bool isNormal(std::uint32_t bits) {
    return (bits & 0x7f800000) != 0;
}

// k is estimated from the binary exponent and raised by one from a threshold
// significand on: exact, so that one scaling suffices.
Binary withDecimalExponent(std::uint32_t m, int e) {
    int binaryExponent = e + 23;
    int k = decimalExponentEstimate(binaryExponent);
    k += m >= kNextPowerThresholds[binaryExponent - kExponentTableLow] ? 1 : 0;
    return Binary{m, e, k};
}

Binary decomposeNormal(std::uint32_t bits) {
    return withDecimalExponent((bits & 0x7fffff) | 0x800000,
                               static_cast<int>((bits >> 23) & 0xff) - 150);
}

Binary decompose(std::uint32_t bits) {
    if (isNormal(bits))
        return decomposeNormal(bits);
    std::uint32_t m = bits & 0x7fffff;
    int shift = std::countl_zero(m) - 8;
    return withDecimalExponent(m << shift, 1 - 150 - shift);
}

// The 17 digits and the decimal exponent k, carrying into a new digit when
// the rounding reached 10^17.
Decimal withCarry(std::uint64_t digits, int k) {
    if (digits == kPow10[17])
        return Decimal{kPow10[16], k + 1};
    return Decimal{digits, k};
}

// v x 10^j as an integer part and a 64-bit fraction F, from the product of
// the significand, shifted so that the point falls at bit kPoint, and the
// power's significand G. G was rounded down by less than one, so the true
// product exceeds this one by less than one unit per unit of the shifted
// significand: the true fraction lies in [F, F + fractionError). With the
// point at bit 34, `exact` tells an exact power: the product is then exact
// (a tie can be told from a fraction above the half).
struct Product {
    std::uint64_t integerPart;
    std::uint64_t fraction;
    std::uint64_t fractionError;
    bool exact;
};

template <int kPoint> Product scaleByPowerOfTen(const Binary& v, int j) {
    const PowerOfTen& power = kPowersOfTen[j - kPowerTableLow];
    std::uint64_t shiftedM = std::uint64_t{v.m} << (kPoint + v.e + power.binaryExponent);
    uint128 product = static_cast<uint128>(shiftedM) * power.significand;
    Product p{static_cast<std::uint64_t>(product >> kPoint),
              static_cast<std::uint64_t>((product << (128 - kPoint)) >> 64), 0, false};
    if constexpr (kPoint > 64) {
        p.fractionError = (shiftedM >> (kPoint - 64)) + 2;
    } else {
        // Selected, not branched on: for random values the power is as
        // often exact as not.
        p.exact = power.exact;
        p.fractionError = p.exact ? 1 : shiftedM << (64 - kPoint);
    }
    return p;
}

// The 17 digits of v.
Decimal digits17(float value, const Binary& v) {
    // 1. Scale by 10^(16-k): the integer part has 54 to 57 bits, the point
    //    at bit 34 keeps the shift of the significand within 0..4.
    Product p = scaleByPowerOfTen<34>(v, 16 - v.k);
    // 2. Round to an integer, ties to even: F decides unless it lies within
    //    the error below the half. Decided without branches: for random
    //    values each outcome is as likely as the other.
    constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
    if (kHalf - p.fraction - 1 < p.fractionError - 1)
        return decimal17FromChars(static_cast<double>(value));
    std::uint64_t tieBreak = p.exact ? (p.integerPart & 1) : 1;
    // 3. Rounding up may carry into an 18th digit.
    return withCarry(p.integerPart + (p.fraction + tieBreak > kHalf ? 1 : 0), v.k);
}

// Division by 10^k (k in 1..17) as a multiplication. With d = 10^k <= 2^l,
// s = max(58 + l, 64) and M = ceil(2^s / d) = (2^s + e) / d, 0 <= e < d, every
// x < 2^58 has x * M / 2^s = x / d + x * e / (d * 2^s), and the second term is
// below 1 / d: too little to carry x / d past the next integer. As s >= 64,
// the quotient comes from the high half of the product.
struct Reciprocal {
    std::uint64_t multiplier;
    int shift; // s - 64
};

constexpr Reciprocal reciprocalOfPowerOfTen(int k) {
    int l = 0;
    while ((std::uint64_t{1} << l) < kPow10[k])
        ++l;
    int s = std::max(58 + l, 64);
    uint128 scale = static_cast<uint128>(1) << s;
    auto multiplier = static_cast<std::uint64_t>((scale + kPow10[k] - 1) / kPow10[k]);
    return Reciprocal{multiplier, s - 64};
}

constexpr auto kReciprocals = [] {
    std::array<Reciprocal, 18> table{};
    for (int k = 1; k < 18; ++k)
        table[static_cast<std::size_t>(k)] = reciprocalOfPowerOfTen(k);
    return table;
}();

// The 17 digits rounded half up to `kept` (0..16) digits.
Decimal roundOn(const Decimal& d, int kept) {
    int dropped = 17 - kept;
    const Reciprocal& r = kReciprocals[static_cast<std::size_t>(dropped)];
    std::uint64_t x = d.digits + kPow10[static_cast<std::size_t>(dropped)] / 2; // below 2^58
    auto high = static_cast<std::uint64_t>((static_cast<uint128>(x) * r.multiplier) >> 64);
    std::uint64_t q = high >> r.shift;
    return Decimal{q, d.exponent + (q == kPow10[static_cast<std::size_t>(kept)] ? 1 : 0)};
}

// At most this many kept digits are rounded at once: the point of the product
// at bit 88 then takes shifts of the significand within 0..40.
constexpr int kMostDirectDigits = 10;

// ceil(tau x 2^64) for tau = 1/2 - 1/(2 x 10^(17 - kept)), kept 1..10.
constexpr auto kRoundUpFrom = [] {
    std::array<std::uint64_t, kMostDirectDigits + 1> table{};
    for (std::size_t kept = 1; kept < table.size(); ++kept)
        table[kept] = (std::uint64_t{1} << 63) - (std::uint64_t{1} << 63) / kPow10[17 - kept];
    return table;
}();

// v rounded to `kept` (1..10) significant digits at once into q, unless the
// value lies too close to the rounding boundary for that; q = 10^kept when
// the rounding carried.
[[gnu::always_inline]] inline bool roundDirectly(const Binary& v, int kept, std::uint64_t& q) {
    // 1. y = v x 10^(kept-1-k) has `kept` integer digits. Rounding y to 17
    //    digits and that half up to an integer goes up exactly when the
    //    fraction f of y reaches tau = 1/2 - 1/(2N), N = 10^(17 - kept): the
    //    17-digit rounding brings every f from tau on (at tau itself a tie,
    //    to the even 5 x 10^(16-kept)) to at least a half.
    Product p = scaleByPowerOfTen<88>(v, kept - 1 - v.k);
    std::uint64_t roundUpFrom = kRoundUpFrom[static_cast<std::size_t>(kept)];
    // 2. F decides unless it lies within the error below tau. tau x 2^64 is
    //    no integer: F is decided down when F + error <= ceil(tau x 2^64) - 1.
    if (roundUpFrom - p.fraction - 1 < p.fractionError)
        return false;
    q = p.integerPart + (p.fraction >= roundUpFrom ? 1 : 0);
    return true;
}

// The other route: the 17 digits, rounded on to `kept` (0..17, or more for
// none) digits; zero and subnormals go this way too.
[[gnu::noinline]] Decimal roundVia17Digits(float value, int kept) {
    Decimal d = toDecimal17(value);
    return kept >= 17 || d.digits == 0 ? d : roundOn(d, kept);
}

// The same for `count` (1..10) significant digits: a carry into a new
// leading digit shows as 10^(count-1).
[[gnu::noinline]] Decimal roundToDigitsVia17Digits(float value, int count) {
    Decimal d = roundVia17Digits(value, count);
    if (d.digits == kPow10[static_cast<std::size_t>(count)])
        d.digits = kPow10[static_cast<std::size_t>(count - 1)];
    return d;
}

} // namespace

Decimal toDecimal17(float value) noexcept {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    if ((bits & 0x7fffffff) == 0)
        return Decimal{0, 0};
    return digits17(value, decompose(bits));
}

Decimal roundToDigits(float value, int count) noexcept {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    if (!isNormal(bits))
        return roundToDigitsVia17Digits(value, count);
    Binary v = decomposeNormal(bits);
    std::uint64_t q;
    if (!roundDirectly(v, count, q))
        return roundToDigitsVia17Digits(value, count);
    // A carry into a new leading digit.
    auto kept = static_cast<std::size_t>(count);
    if (q == kPow10[kept])
        return Decimal{kPow10[kept - 1], v.k + 1};
    return Decimal{q, v.k};
}

Decimal roundToDecimals(float value, int decimals) noexcept {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    // Zero, and subnormals (below 10^-37), keep no digit.
    if (!isNormal(bits))
        return Decimal{0, 0};
    Binary v = decomposeNormal(bits);
    int kept = v.k + 1 + decimals;
    if (kept < 0)
        return Decimal{0, v.k};
    std::uint64_t q;
    if (kept >= 1 && kept <= kMostDirectDigits && roundDirectly(v, kept, q))
        return Decimal{q, v.k + (q == kPow10[static_cast<std::size_t>(kept)] ? 1 : 0)};
    return roundVia17Digits(value, kept);
}

} // namespace brenzolt
