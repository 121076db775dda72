#pragma once

// Private-profile (INI) rules over the bytes of a file: section and key names match without
// regard to case, the first matching section and key count, a write changes one line and leaves
// every other byte of the file as it was.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

constexpr size_t kMaxProfileText = 1023;

// The value of key in section, blanks around it and enclosing quotes removed, cut to
// kMaxProfileText characters; nullopt when the section or key is missing.
std::optional<std::string> ProfileLookup(std::string_view content, std::string_view section,
                                         std::string_view key);

// The content with key=value written into section: the first matching key line is replaced in
// place; otherwise the key is added after the last non-blank line of the section, or the section
// is added at the end. New lines use the line ending the content already uses (LF when none).
std::string ProfileWrite(std::string_view content, std::string_view section, std::string_view key,
                         std::string_view value);

// An integer value: decimal with an optional sign within the signed 32-bit range, or
// hexadecimal after "0x", "0X" or "$" up to 0xFFFFFFFF; leading blanks are skipped. Anything
// else is nullopt, for which the caller uses its default.
std::optional<int64_t> ParseProfileInteger(std::string_view text);

// File access. A missing or unreadable file reads as empty. WriteProfileFile replaces the whole
// content in place and returns false when it could not; it then tries to put the old bytes back.
std::string ReadProfileFile(const std::string& path);
bool WriteProfileFile(const std::string& path, std::string_view content);
