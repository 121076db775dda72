#pragma once

// Numbers as text for the rows and payloads: the C locale's digits whatever the process's
// locale, and floats as the shortest text that reads back as the same float.

#include <cstdint>
#include <string>

// Writes at p (room for 24 bytes) and returns the end.
char* PutUnsigned(char* p, uint64_t value);
// Writes at p (room for 48 bytes) and returns the end; `json` writes null for NaN and the
// infinities.
char* PutFloat(char* p, float value, bool json);

void AppendUnsigned(std::string& out, uint64_t value);
void AppendFloat(std::string& out, float value, bool json);
