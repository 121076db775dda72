#include "scan_number.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <string>

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

// What strtof in the C locale makes of text (with no leading blanks).
std::optional<float> ConvertLikeStrtof(const char* text) {
    const char* p = text;
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

// How many characters the "%f" conversion of the GNU C library's scanf takes from text (no
// leading blanks): the longest run that starts a number, "inf", "infinity" or "nan". nullopt
// for a matching failure: an incomplete "inf"/"infinity"/"nan", a lone sign, or "0x" with
// nothing after it that belongs to a hexadecimal number. What the run then converts to is
// strtof's business; a run strtof cannot convert at all (".") is a failure too.
std::optional<size_t> FloatRunLength(const char* text) {
    const char* p = text;
    if (*p == '+' || *p == '-')
        ++p;
    if (*p == '\0')
        return std::nullopt; // input ended after the sign
    for (const char* word : {"nan", "inf"}) {
        if (Lower(*p) != word[0])
            continue;
        if (!StartsWithWord(p, word))
            return std::nullopt;
        p += 3;
        if (word[0] == 'i' && Lower(*p) == 'i') {
            if (!StartsWithWord(p, "inity"))
                return std::nullopt;
            p += 5;
        }
        return size_t(p - text);
    }
    bool hex = false;
    bool gotDigit = false;
    if (*p == '0') {
        ++p;
        if (*p == 'x' || *p == 'X') {
            hex = true;
            ++p;
        } else {
            gotDigit = true;
        }
    }
    const char* const numberStart = p;
    const char exponentMark = hex ? 'p' : 'e';
    bool gotExponent = false;
    bool gotDot = false;
    for (;; ++p) {
        const char c = *p;
        const bool decimalDigit = c >= '0' && c <= '9';
        if (decimalDigit || (hex && !gotExponent && DigitValue(c) < 16)) {
            gotDigit = true;
        } else if (gotExponent && Lower(p[-1]) == exponentMark && (c == '+' || c == '-')) {
            // the exponent's sign
        } else if (gotDigit && !gotExponent && Lower(c) == exponentMark) {
            gotExponent = gotDot = true;
        } else if (!gotDot && c == '.') {
            gotDot = true;
        } else {
            break;
        }
    }
    if (hex && p == numberStart)
        return std::nullopt; // "0x" and nothing of a number after it
    return size_t(p - text);
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
    while (IsSpace(*text))
        ++text;
    const auto length = FloatRunLength(text);
    if (!length)
        return std::nullopt;
    // The run is converted on its own, so nothing after it (an "x", an exponent's missing
    // digits) changes the value.
    char run[64];
    if (*length >= sizeof run)
        return ConvertLikeStrtof(std::string(text, *length).c_str());
    std::memcpy(run, text, *length);
    run[*length] = '\0';
    return ConvertLikeStrtof(run);
}
