#pragma once

// Numbers as text for the rows and payloads: the C locale's digits whatever the process's
// locale, and floats as the shortest text that reads back as the same float. Inline: a CSV row
// writes some fifty of them.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

// Writes at p (room for 24 bytes) and returns the end.
inline char* PutUnsigned(char* p, uint64_t value) {
    return std::to_chars(p, p + 20, value).ptr;
}

// The instrument sends values with two decimals: for those, the shortest text that reads back
// as the same float is that of the number of hundredths, found without the general algorithm.
// Below 100000 no two numbers of hundredths share a float, so no shorter text can exist.
// Nothing written (null) for any other value.
inline char* PutShortDecimal(char* p, float value) {
    const double hundredths = std::nearbyint(double(value) * 100);
    if (!(std::fabs(value) < 1e5f) || float(hundredths / 100) != value ||
        (value == 0 && std::signbit(value)))
        return nullptr;
    auto k = uint64_t(std::fabs(hundredths));
    if (hundredths < 0)
        *p++ = '-';
    p = PutUnsigned(p, k / 100);
    k %= 100;
    if (k != 0) {
        *p++ = '.';
        *p++ = char('0' + k / 10);
        if (k % 10 != 0)
            *p++ = char('0' + k % 10);
    }
    return p;
}

// Writes at p (room for 48 bytes) and returns the end; `json` writes null for NaN and the
// infinities.
inline char* PutFloat(char* p, float value, bool json) {
    if (json && !std::isfinite(value)) {
        std::memcpy(p, "null", 4);
        return p + 4;
    }
    if (char* end = PutShortDecimal(p, value))
        return end;
    return std::to_chars(p, p + 32, value).ptr;
}

inline void AppendUnsigned(std::string& out, uint64_t value) {
    char text[24];
    out.append(text, size_t(PutUnsigned(text, value) - text));
}

inline void AppendFloat(std::string& out, float value, bool json) {
    char text[48];
    out.append(text, size_t(PutFloat(text, value, json) - text));
}
