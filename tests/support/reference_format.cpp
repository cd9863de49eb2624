#include "tests/support/reference_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace brenzolt::test {

namespace {

std::uint64_t powerOfTen(int exponent) {
    return exponent <= 0 ? 1 : 10 * powerOfTen(exponent - 1);
}

// The 17 digits rounded half up with the last `dropped` of them dropped.
std::uint64_t roundHalfUp(std::uint64_t digits, int dropped) {
    if (dropped > 18)
        return 0;
    return dropped <= 0 ? digits : (digits + 5 * powerOfTen(dropped - 1)) / powerOfTen(dropped);
}

// The integer of `text` x 10^-decimals: at least one digit before the point.
std::string withPoint(std::string text, int decimals) {
    if (text.size() <= static_cast<std::size_t>(decimals))
        text.insert(0, static_cast<std::size_t>(decimals) + 1 - text.size(), '0');
    if (decimals > 0)
        text.insert(text.size() - static_cast<std::size_t>(decimals), 1, '.');
    return text;
}

std::string withoutTrailingZeros(std::string text) {
    if (text.find('.') != std::string::npos) {
        text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.')
            text.pop_back();
    }
    return text;
}

// "%.Df": past the 17th digit, zeros.
std::string fixedText(const Decimal& d, int decimals) {
    int dropped = 16 - d.exponent - decimals;
    if (dropped < 0)
        return withPoint(std::to_string(d.digits) +
                             std::string(static_cast<std::size_t>(-dropped), '0'),
                         decimals);
    return withPoint(std::to_string(roundHalfUp(d.digits, dropped)), decimals);
}

// "%.Pg": the exponent X of P digits chooses "%.(P-1-X)f" or "%.(P-1)e".
std::string generalText(const Decimal& d, int precision) {
    std::uint64_t q = roundHalfUp(d.digits, 17 - precision);
    int exponent = d.digits == 0 ? 0 : d.exponent;
    if (q == powerOfTen(precision)) {
        q /= 10;
        ++exponent;
    }
    if (exponent >= -4 && exponent < precision)
        return withoutTrailingZeros(withPoint(std::to_string(q), precision - 1 - exponent));
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "e%+04d", exponent);
    return withoutTrailingZeros(withPoint(std::to_string(q), precision - 1)) + suffix;
}

std::string padded(const std::string& text, int width) {
    return std::string(static_cast<std::size_t>(std::max(0, width - int(text.size()))), ' ') + text;
}

} // namespace

Decimal referenceDigits17(double value) {
    char text[32]; // "d.dddddddddddddddde+XX"
    std::snprintf(text, sizeof text, "%.16e", std::fabs(value));
    Decimal d{0, std::atoi(text + 19)};
    for (int i = 0; i < 18; ++i)
        if (text[i] != '.')
            d.digits = d.digits * 10 + static_cast<std::uint64_t>(text[i] - '0');
    return d.digits == 0 ? Decimal{0, 0} : d;
}

std::string referenceText(const Decimal& digits, bool negative, const Conversion& conversion) {
    std::string body = conversion.kind == NumberKind::fixed
                           ? fixedText(digits, conversion.digits)
                           : generalText(digits, conversion.digits);
    return padded((negative ? "-" : "") + body, conversion.width);
}

std::string referenceText(double value, const Conversion& conversion) {
    if (std::isnan(value))
        return padded("nan", conversion.width);
    if (std::isinf(value))
        return padded(value < 0 ? "-inf" : "inf", conversion.width);
    return referenceText(referenceDigits17(value), std::signbit(value), conversion);
}

} // namespace brenzolt::test
