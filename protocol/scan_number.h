#pragma once

// The number conversions the answer's fields are read with, written out so that they do not
// depend on the C library's locale and behave the same on every platform.

#include <cstdint>
#include <optional>

// What the C library's sscanf stores for "%<width>x" (base 16) or "%<width>u" (base 10) read
// from text: blanks skipped first (they do not count toward the width), then within the width an
// optional sign, for base 16 an optional "0x" or "0X" after a leading 0, then digits; the result
// as an unsigned int (a minus sign negates it modulo 2^32). nullopt where sscanf would store
// nothing. width 0: no width.
std::optional<uint32_t> ScanUnsigned(const char* text, unsigned base, unsigned width);

// What the C library's sscanf stores for "%f" in the C locale: blanks skipped, then the longest
// run that starts a number (an optional sign, a decimal or "0x" hexadecimal number with optional
// fraction and exponent, "inf", "infinity" or "nan" in either case), converted as strtof converts
// it; out-of-range numbers give infinity or the nearest small value. nullopt where sscanf would
// store nothing: no number, an incomplete "inf", "infinity" or "nan", or a bare "0x".
std::optional<float> ScanFloat(const char* text);
