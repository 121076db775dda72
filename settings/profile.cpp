#include "profile.h"

#include <cstring>

namespace {

struct Line {
    size_t begin = 0; // first byte of the line
    size_t end = 0;   // one past the last byte before the line ending
    size_t next = 0;  // first byte of the following line
};

// Steps to the line at `pos`; false at the end of the content.
bool NextLine(std::string_view content, size_t& pos, Line& line) {
    if (pos >= content.size())
        return false;
    const auto* newline =
        static_cast<const char*>(std::memchr(content.data() + pos, '\n', content.size() - pos));
    line.begin = pos;
    line.end = newline ? size_t(newline - content.data()) : content.size();
    line.next = newline ? line.end + 1 : content.size();
    if (line.end > line.begin && content[line.end - 1] == '\r')
        --line.end;
    pos = line.next;
    return true;
}

// A stray CR (one not followed by LF) counts as a blank, so it never sticks to a name.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

// The section name of a "[name]" line, or nullopt for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    line.remove_prefix(1);
    const size_t close = line.find(']');
    return Trim(close == std::string_view::npos ? line : line.substr(0, close));
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

// Key and raw value of a "key=value" line; comments and lines without '=' have none.
std::optional<KeyLine> ParseKeyLine(std::string_view line) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#')
        return std::nullopt;
    const size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos)
        return std::nullopt;
    return KeyLine{Trim(trimmed.substr(0, equals)), Trim(trimmed.substr(equals + 1))};
}

std::string Unquoted(std::string_view value, size_t limit = kMaxProfileText) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value.substr(0, limit));
}

} // namespace

ProfilePlace ProfileFind(std::string_view content, std::string_view section, std::string_view key,
                         LineEnding newFile) {
    ProfilePlace place;
    place.Crlf = content.empty() && newFile == LineEnding::CrLf;
    size_t pos = 0;
    Line line;
    bool first = true;
    while (NextLine(content, pos, line)) {
        if (first)
            place.Crlf = line.next > line.end + 1;
        first = false;
        const std::string_view text = content.substr(line.begin, line.end - line.begin);
        // Outside the section only section lines matter; a quick look at the first byte that
        // is not blank keeps a long file fast.
        size_t lead = 0;
        while (lead < text.size() && IsBlank(text[lead]))
            ++lead;
        if (lead < text.size() && text[lead] == '[') {
            if (place.SectionFound)
                break; // the first matching section ends here
            if (const auto name = SectionName(text); name && SameName(*name, section)) {
                place.SectionFound = true;
                place.InsertAt = line.next;
                place.BreakBefore = content[line.next - 1] != '\n';
            }
            continue;
        }
        if (!place.SectionFound || lead == text.size())
            continue;
        place.InsertAt = line.next;
        place.BreakBefore = content[line.next - 1] != '\n';
        if (!place.KeyFound)
            if (const auto keyLine = ParseKeyLine(text); keyLine && SameName(keyLine->key, key)) {
                place.KeyFound = true;
                place.KeyBegin = line.begin;
                place.KeyEnd = line.end;
                place.Value = Unquoted(keyLine->value);
            }
    }
    return place;
}

void ProfileSet(std::string& content, const ProfilePlace& place, std::string_view section,
                std::string_view key, std::string_view value) {
    const std::string_view eol = place.Crlf ? "\r\n" : "\n";
    std::string keyLine;
    keyLine.reserve(key.size() + value.size() + 8);
    keyLine.append(key).append("=").append(value);
    if (place.KeyFound) {
        content.replace(place.KeyBegin, place.KeyEnd - place.KeyBegin, keyLine);
        return;
    }
    std::string added;
    if (place.SectionFound) {
        if (place.BreakBefore)
            added.append(eol);
        added.append(keyLine).append(eol);
        content.insert(place.InsertAt, added);
        return;
    }
    if (!content.empty() && content.back() != '\n')
        added.append(eol);
    added.append("[").append(section).append("]").append(eol).append(keyLine).append(eol);
    content.append(added);
}

std::optional<std::string> ProfileLookup(std::string_view content, std::string_view section,
                                         std::string_view key) {
    return ProfileFind(content, section, key).Value;
}

std::string ProfileWrite(std::string_view content, std::string_view section, std::string_view key,
                         std::string_view value, LineEnding newFile) {
    std::string out(content);
    ProfileSet(out, ProfileFind(content, section, key, newFile), section, key, value);
    return out;
}

std::optional<int64_t> ParseProfileInteger(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.starts_with("$")) {
        base = 16;
        text.remove_prefix(1);
    }
    bool negative = false;
    if (base == 10 && !text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    // Hexadecimal numbers are numbers too: above 0x7FFFFFFF they are out of range.
    const int64_t limit = negative ? 2147483648ll : 2147483647ll;
    int64_t value = 0;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && Lower(c) >= 'a' && Lower(c) <= 'f')
            digit = Lower(c) - 'a' + 10;
        if (digit < 0)
            return std::nullopt;
        value = value * base + digit;
        if (value > limit)
            return std::nullopt;
    }
    return negative ? -value : value;
}

std::vector<ProfileSection> ProfileSections(std::string_view content) {
    std::vector<ProfileSection> sections;
    size_t pos = 0;
    Line line;
    while (NextLine(content, pos, line)) {
        const std::string_view text = content.substr(line.begin, line.end - line.begin);
        if (const auto name = SectionName(text)) {
            sections.push_back(ProfileSection{std::string(*name), {}});
            continue;
        }
        if (sections.empty())
            continue;
        if (const auto keyLine = ParseKeyLine(text))
            sections.back().Keys.emplace_back(std::string(keyLine->key),
                                              Unquoted(keyLine->value, std::string_view::npos));
    }
    return sections;
}
