#include "tests/support/reference_format.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace brenzolt::test {

namespace {

constexpr std::uint64_t kLimbBase = 1'000'000'000;
constexpr int kLimbDigits = 9;

// A double is m x 2^e with m < 2^53 and e in [-1074, 971].
constexpr int kLargestBinaryExponent = 971;
constexpr int kSmallestBinaryExponent = -1074;
// m x 5^1074 has 767 digits; rounded up to whole limbs with room to spare.
constexpr std::size_t kMaxLimbs = 90;
constexpr std::size_t kMaxExactDigits = kMaxLimbs * kLimbDigits;

struct BinaryValue {
    bool negative;
    std::uint64_t significand;
    int exponent; // value = significand x 2^exponent
};

BinaryValue decompose(double value) {
    auto bits = std::bit_cast<std::uint64_t>(value);
    bool negative = (bits >> 63) != 0;
    int biased = static_cast<int>((bits >> 52) & 0x7ff);
    std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    if (biased == 0)
        return {negative, fraction, kSmallestBinaryExponent};
    return {negative, fraction | (std::uint64_t{1} << 52), biased - 1075};
}

// Schoolbook product of a (base 10^9 limbs) and a 64-bit factor, into `out`;
// returns the number of limbs.
std::size_t multiply(const std::vector<std::uint32_t>& a, std::uint64_t factor,
                     std::uint32_t* out) {
    const std::uint32_t b[] = {static_cast<std::uint32_t>(factor % kLimbBase),
                               static_cast<std::uint32_t>(factor / kLimbBase % kLimbBase),
                               static_cast<std::uint32_t>(factor / kLimbBase / kLimbBase)};
    std::size_t size = a.size() + 3;
    std::fill(out, out + size, 0u);
    for (std::size_t j = 0; j < 3; ++j) {
        std::uint64_t carry = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            std::uint64_t sum = out[i + j] + std::uint64_t{a[i]} * b[j] + carry;
            out[i + j] = static_cast<std::uint32_t>(sum % kLimbBase);
            carry = sum / kLimbBase;
        }
        for (std::size_t k = a.size() + j; carry != 0; ++k) {
            std::uint64_t sum = out[k] + carry;
            out[k] = static_cast<std::uint32_t>(sum % kLimbBase);
            carry = sum / kLimbBase;
        }
    }
    while (size > 0 && out[size - 1] == 0)
        --size;
    return size;
}

std::vector<std::uint32_t> timesSmall(const std::vector<std::uint32_t>& a, std::uint32_t factor) {
    std::vector<std::uint32_t> result;
    std::uint64_t carry = 0;
    for (std::uint32_t limb : a) {
        std::uint64_t product = std::uint64_t{limb} * factor + carry;
        result.push_back(static_cast<std::uint32_t>(product % kLimbBase));
        carry = product / kLimbBase;
    }
    if (carry != 0)
        result.push_back(static_cast<std::uint32_t>(carry));
    return result;
}

// Writes a nonzero big integer in decimal, most significant digit first.
std::size_t writeDecimal(const std::uint32_t* limbs, std::size_t size, char* out) {
    char* p = out;
    std::uint32_t top = limbs[size - 1];
    char topDigits[kLimbDigits];
    int topLength = 0;
    for (; top != 0; top /= 10)
        topDigits[topLength++] = static_cast<char>('0' + top % 10);
    while (topLength > 0)
        *p++ = topDigits[--topLength];
    for (std::size_t i = size - 1; i-- > 0;) {
        std::uint32_t limb = limbs[i];
        for (int d = kLimbDigits - 1; d >= 0; --d) {
            p[d] = static_cast<char>('0' + limb % 10);
            limb /= 10;
        }
        p += kLimbDigits;
    }
    return static_cast<std::size_t>(p - out);
}

// Adds one to the last of `count` digits, carrying leftwards; returns true
// when the carry runs out of the first digit (the digits are then all zeros).
bool incrementDigits(char* digits, std::size_t count) {
    for (std::size_t i = count; i-- > 0;) {
        if (digits[i] != '9') {
            ++digits[i];
            return false;
        }
        digits[i] = '0';
    }
    return true;
}

// The digit of the 17-digit value at the decimal position 10^position.
char digitAt(const ReferenceDigits& d, int position) {
    int index = d.exponent - position;
    return index >= 0 && index < 17 ? d.digits[static_cast<std::size_t>(index)] : '0';
}

// Writes the fixed form of |value| with `decimals` decimals.
std::size_t writeFixedBody(const ReferenceDigits& d, int decimals, char* out) {
    // The digits from the first digit (or the units, if lower) down to the
    // last decimal, behind a zero that takes a carry out of the first digit,
    // rounded on the first digit dropped.
    char kept[kMaxReferenceText];
    std::size_t count = 0;
    kept[count++] = '0';
    for (int position = std::max(d.exponent, 0); position >= -decimals; --position)
        kept[count++] = digitAt(d, position);
    if (digitAt(d, -decimals - 1) >= '5')
        incrementDigits(kept, count);
    // Leading zeros go, down to a single integer digit.
    std::size_t integerEnd = count - static_cast<std::size_t>(decimals);
    std::size_t first = 0;
    while (first + 1 < integerEnd && kept[first] == '0')
        ++first;
    char* p = std::copy(kept + first, kept + integerEnd, out);
    if (decimals > 0) {
        *p++ = '.';
        p = std::copy(kept + integerEnd, kept + count, p);
    }
    return static_cast<std::size_t>(p - out);
}

struct Significant {
    std::array<char, 17> digits; // the first `precision` of them count
    int exponent;                // decimal exponent of the first digit
};

Significant roundToSignificant(const ReferenceDigits& d, int precision) {
    Significant s{d.digits, d.exponent};
    auto kept = static_cast<std::size_t>(precision);
    if (kept < 17 && d.digits[kept] >= '5' && incrementDigits(s.digits.data(), kept)) {
        s.digits[0] = '1';
        ++s.exponent;
    }
    return s;
}

// The length of a number text without the trailing zeros of its fraction,
// and without the point when no decimal remains.
std::size_t withoutTrailingZeros(const char* text, std::size_t length) {
    if (std::find(text, text + length, '.') == text + length)
        return length;
    while (text[length - 1] == '0')
        --length;
    if (text[length - 1] == '.')
        --length;
    return length;
}

// "e", a sign and at least three digits.
std::size_t writeExponent(int exponent, char* out) {
    char reversed[8];
    std::size_t count = 0;
    for (int magnitude = std::abs(exponent); magnitude != 0 || count < 3; magnitude /= 10)
        reversed[count++] = static_cast<char>('0' + magnitude % 10);
    out[0] = 'e';
    out[1] = exponent < 0 ? '-' : '+';
    std::reverse_copy(reversed, reversed + count, out + 2);
    return 2 + count;
}

// Writes "%.Pg" of |value|: the exponent X that style e would have decides
// between style f with P - 1 - X decimals and style e with P - 1 decimals.
std::size_t writeGeneralBody(const ReferenceDigits& d, int precision, char* out) {
    if (precision == 0)
        precision = 1;
    Significant s = roundToSignificant(d, precision);
    if (s.exponent < precision && s.exponent >= -4)
        return withoutTrailingZeros(out, writeFixedBody(d, precision - 1 - s.exponent, out));
    char* p = out;
    *p++ = s.digits[0];
    if (precision > 1) {
        *p++ = '.';
        p = std::copy(s.digits.begin() + 1, s.digits.begin() + precision, p);
    }
    p = out + withoutTrailingZeros(out, static_cast<std::size_t>(p - out));
    return static_cast<std::size_t>(p - out) + writeExponent(s.exponent, p);
}

std::size_t writePadded(const char* text, std::size_t length, int width, char* out) {
    std::size_t pad = width > 0 && length < static_cast<std::size_t>(width)
                          ? static_cast<std::size_t>(width) - length
                          : 0;
    std::fill_n(out, pad, ' ');
    std::copy(text, text + length, out + pad);
    return pad + length;
}

} // namespace

Decimal asDecimal17(const ReferenceDigits& digits) {
    std::uint64_t value = 0;
    for (char digit : digits.digits)
        value = value * 10 + static_cast<std::uint64_t>(digit - '0');
    return Decimal{value, digits.exponent};
}

ReferenceFormatter::ReferenceFormatter() {
    powersOfTwo_.push_back({1});
    for (int k = 1; k <= kLargestBinaryExponent; ++k)
        powersOfTwo_.push_back(timesSmall(powersOfTwo_.back(), 2));
    powersOfFive_.push_back({1});
    for (int k = 1; k <= -kSmallestBinaryExponent; ++k)
        powersOfFive_.push_back(timesSmall(powersOfFive_.back(), 5));
}

std::size_t ReferenceFormatter::writeExactDigits(double value, char* out, int& exponent) const {
    BinaryValue binary = decompose(value);
    exponent = 0;
    if (binary.significand == 0)
        return 0;
    // m x 2^e is an integer when e >= 0, and m x 5^-e / 10^-e otherwise.
    const BigInteger& scale = binary.exponent >= 0
                                  ? powersOfTwo_[static_cast<std::size_t>(binary.exponent)]
                                  : powersOfFive_[static_cast<std::size_t>(-binary.exponent)];
    int decimalShift = binary.exponent >= 0 ? 0 : -binary.exponent;
    std::uint32_t limbs[kMaxLimbs];
    std::size_t size = multiply(scale, binary.significand, limbs);
    std::size_t length = writeDecimal(limbs, size, out);
    exponent = static_cast<int>(length) - 1 - decimalShift;
    return length;
}

ReferenceDigits ReferenceFormatter::digits17(double value) const {
    char exact[kMaxExactDigits];
    ReferenceDigits result;
    result.negative = std::signbit(value);
    std::size_t length = writeExactDigits(value, exact, result.exponent);
    result.digits.fill('0');
    std::copy(exact, exact + std::min<std::size_t>(length, 17), result.digits.begin());
    if (length <= 17)
        return result;
    // Ties to even: a first dropped 5 with nothing after it rounds up only
    // an odd 17th digit.
    char firstDropped = exact[17];
    bool restNonzero = std::any_of(exact + 18, exact + length, [](char c) { return c != '0'; });
    bool oddLast = (result.digits[16] - '0') % 2 != 0;
    bool up = firstDropped > '5' || (firstDropped == '5' && (restNonzero || oddLast));
    if (up && incrementDigits(result.digits.data(), result.digits.size())) {
        result.digits[0] = '1';
        ++result.exponent;
    }
    return result;
}

std::size_t ReferenceFormatter::write(const ReferenceDigits& digits, const Conversion& conversion,
                                      char* out) const {
    char text[kMaxReferenceText];
    std::size_t length = 0;
    if (digits.negative)
        text[length++] = '-';
    length += conversion.kind == NumberKind::fixed
                  ? writeFixedBody(digits, conversion.digits, text + length)
                  : writeGeneralBody(digits, conversion.digits, text + length);
    return writePadded(text, length, conversion.width, out);
}

std::string ReferenceFormatter::format(const ReferenceDigits& digits,
                                       const Conversion& conversion) const {
    char text[kMaxReferenceText];
    return std::string(text, write(digits, conversion, text));
}

std::string ReferenceFormatter::format(double value, const Conversion& conversion) const {
    char text[kMaxReferenceText];
    if (std::isnan(value))
        return std::string(text, writePadded("nan", 3, conversion.width, text));
    if (std::isinf(value))
        return value < 0 ? std::string(text, writePadded("-inf", 4, conversion.width, text))
                         : std::string(text, writePadded("inf", 3, conversion.width, text));
    return format(digits17(value), conversion);
}

} // namespace brenzolt::test
