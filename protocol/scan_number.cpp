#include "scan_number.h"

#include <charconv>
#include <cstring>
#include <limits>

namespace {

// isspace in the C locale.
bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// Case-insensitive: does text start with word?
bool StartsWithWord(const char* text, const char* word) {
    for (; *word; ++text, ++word)
        if (Lower(*text) != *word)
            return false;
    return true;
}

} // namespace

std::optional<uint32_t> ScanUnsigned(const char* text, unsigned base, unsigned width) {
    const char* p = text;
    while (IsSpace(*p))
        ++p;
    if (*p == '\0')
        return std::nullopt; // input ended before the conversion
    unsigned left = width == 0 ? std::numeric_limits<unsigned>::max() : width;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
        --left;
    }
    bool anyDigit = false;
    bool overflow = false;
    uint64_t value = 0;
    // A leading 0 is a digit of its own; in base 16 an "x" after it is the prefix and is
    // skipped, even when no digit follows ("0x" reads as 0).
    if (left > 0 && *p == '0') {
        anyDigit = true;
        ++p;
        --left;
        if (left > 0 && base == 16 && (*p == 'x' || *p == 'X')) {
            ++p;
            --left;
        }
    }
    // Below this no digit of any base up to 36 can overflow; the exact test costs a division.
    constexpr uint64_t kNoOverflow = (std::numeric_limits<uint64_t>::max() - 35) / 36;
    for (; left > 0 && unsigned(DigitValue(*p)) < base; ++p, --left) {
        anyDigit = true;
        const uint64_t digit = unsigned(DigitValue(*p));
        if (value > kNoOverflow && value > (std::numeric_limits<uint64_t>::max() - digit) / base)
            overflow = true;
        value = value * base + digit;
    }
    if (!anyDigit)
        return std::nullopt;
    // The digits read are converted as strtoul converts them: saturating, then negated.
    if (overflow)
        value = std::numeric_limits<uint64_t>::max();
    else if (negative)
        value = 0 - value;
    return static_cast<uint32_t>(value);
}

std::optional<float> ScanFloat(const char* text) {
    const char* p = text;
    while (IsSpace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    const float sign = negative ? -1.0f : 1.0f;

    if (StartsWithWord(p, "inf"))
        return sign * std::numeric_limits<float>::infinity();
    if (StartsWithWord(p, "nan"))
        return negative ? -std::numeric_limits<float>::quiet_NaN()
                        : std::numeric_limits<float>::quiet_NaN();

    std::chars_format format = std::chars_format::general;
    const char* digits = p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        format = std::chars_format::hex;
        digits = p + 2;
    }
    if (*digits == '-' || *digits == '+')
        return format == std::chars_format::hex ? std::optional<float>(sign * 0.0f) : std::nullopt;
    const char* end = digits + std::strlen(digits);
    float value = 0;
    const auto [stop, error] = std::from_chars(digits, end, value, format);
    if (error == std::errc::invalid_argument)
        // "0x" with no hexadecimal number after it is the number 0 followed by an "x".
        return format == std::chars_format::hex ? std::optional<float>(sign * 0.0f) : std::nullopt;
    if (error == std::errc::result_out_of_range) {
        // Beyond float: through double, which holds every exponent a short field can give
        // unless the exponent itself is extreme.
        double wide = 0;
        if (std::from_chars(digits, end, wide, format).ec == std::errc()) {
            value = wide > double(std::numeric_limits<float>::max())
                        ? std::numeric_limits<float>::infinity()
                        : static_cast<float>(wide);
        } else {
            const char* mark = std::strpbrk(digits, format == std::chars_format::hex ? "pP" : "eE");
            const bool tiny = mark && mark < stop && mark[1] == '-';
            value = tiny ? 0.0f : std::numeric_limits<float>::infinity();
        }
    }
    return sign * value;
}
