#pragma once

// Private-profile (INI) rules over the bytes of a file: section and key names match without
// regard to case, the first matching section and key count, a write changes one line and leaves
// every other byte of the file as it was.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

constexpr size_t kMaxProfileText = 1023;

// Where a key stands in the content, or where writing it would put it. Valid until the content
// changes.
struct ProfilePlace {
    std::optional<std::string> Value; // as ProfileLookup gives it; nullopt when missing
    bool SectionFound = false;
    bool KeyFound = false;
    size_t KeyBegin = 0, KeyEnd = 0; // the key's line, without its line ending
    size_t InsertAt = 0;             // after the section's last non-blank line
    bool BreakBefore = false;        // that line ends the content without a line feed
    bool Crlf = false; // the content's first line ends in CR LF, or empty content on CR LF
};

// The line end of a profile file made from nothing; a file with lines keeps its own.
enum class LineEnding {
    Lf,   // POSIX text files
    CrLf, // Windows profile files
#ifdef _WIN32
    Host = CrLf
#else
    Host = Lf
#endif
};

// One pass over the content up to the end of the first matching section. `newFile` is the line
// end used when the content is empty.
ProfilePlace ProfileFind(std::string_view content, std::string_view section, std::string_view key,
                         LineEnding newFile = LineEnding::Host);

// Writes key=value where `place` (found in this content) says: the first matching key line is
// replaced in place; otherwise the key is added after the last non-blank line of the section, or
// the section is added at the end. New lines use the line ending the content already uses (LF
// when none). Edits the string in place, so a large file is not copied.
void ProfileSet(std::string& content, const ProfilePlace& place, std::string_view section,
                std::string_view key, std::string_view value);

// The value of key in section, blanks around it and enclosing quotes removed, cut to
// kMaxProfileText characters; nullopt when the section or key is missing.
std::optional<std::string> ProfileLookup(std::string_view content, std::string_view section,
                                         std::string_view key);

// The content with key=value written into section, as ProfileSet writes it.
std::string ProfileWrite(std::string_view content, std::string_view section, std::string_view key,
                         std::string_view value, LineEnding newFile = LineEnding::Host);

// An integer value within the signed 32-bit range: decimal with an optional sign, or
// hexadecimal after "0x", "0X" or "$" (up to 0x7FFFFFFF); leading blanks are skipped. Anything
// else is nullopt, for which the caller uses its default.
std::optional<int64_t> ParseProfileInteger(std::string_view text);

// Every section of the content in file order, each with its key lines in order (names as
// written, values as ProfileLookup gives them but whole, however long). Key lines before the first
// section are not listed. A section name that appears twice is listed twice: callers that need one
// section per name check for that.
struct ProfileSection {
    std::string Name;
    std::vector<std::pair<std::string, std::string>> Keys;
};
std::vector<ProfileSection> ProfileSections(std::string_view content);
