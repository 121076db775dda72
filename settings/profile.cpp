#include "profile.h"

#include <cstdio>
#include <vector>

namespace {

struct Line {
    size_t begin = 0; // first byte of the line
    size_t end = 0;   // one past the last byte before the line ending
    size_t next = 0;  // first byte of the following line
};

std::vector<Line> SplitLines(std::string_view content) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        const size_t newline = content.find('\n', pos);
        Line line;
        line.begin = pos;
        line.next = newline == std::string_view::npos ? content.size() : newline + 1;
        line.end = newline == std::string_view::npos ? content.size() : newline;
        if (line.end > line.begin && content[line.end - 1] == '\r')
            --line.end;
        lines.push_back(line);
        pos = line.next;
    }
    return lines;
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

struct Location {
    size_t sectionLine = 0;        // index of the section's header line
    size_t lastContentLine = 0;    // last non-blank line of the section
    std::optional<size_t> keyLine; // index of the first matching key line
};

std::optional<Location> Find(std::string_view content, const std::vector<Line>& lines,
                             std::string_view section, std::string_view key) {
    std::optional<Location> found;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string_view text = content.substr(lines[i].begin, lines[i].end - lines[i].begin);
        if (const auto name = SectionName(text)) {
            if (found)
                break; // the first matching section ends here
            if (SameName(*name, section))
                found = Location{i, i, std::nullopt};
            continue;
        }
        if (!found)
            continue;
        if (!Trim(text).empty())
            found->lastContentLine = i;
        if (!found->keyLine)
            if (const auto keyLine = ParseKeyLine(text); keyLine && SameName(keyLine->key, key))
                found->keyLine = i;
    }
    return found;
}

} // namespace

std::optional<std::string> ProfileLookup(std::string_view content, std::string_view section,
                                         std::string_view key) {
    const auto lines = SplitLines(content);
    const auto location = Find(content, lines, section, key);
    if (!location || !location->keyLine)
        return std::nullopt;
    const Line& line = lines[*location->keyLine];
    std::string_view value = ParseKeyLine(content.substr(line.begin, line.end - line.begin))->value;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value.substr(0, kMaxProfileText));
}

std::string ProfileWrite(std::string_view content, std::string_view section, std::string_view key,
                         std::string_view value) {
    const auto lines = SplitLines(content);
    const bool crlf = !lines.empty() && lines[0].next > lines[0].end + 1;
    const std::string eol = crlf ? "\r\n" : "\n";
    const std::string keyLine = std::string(key) + "=" + std::string(value);

    const auto location = Find(content, lines, section, key);
    std::string out;
    if (location && location->keyLine) {
        const Line& line = lines[*location->keyLine];
        out.append(content.substr(0, line.begin));
        out.append(keyLine);
        out.append(content.substr(line.end)); // keeps this line's own ending
        return out;
    }
    if (location) {
        const Line& after = lines[location->lastContentLine];
        out.append(content.substr(0, after.next));
        if (after.next == 0 || content[after.next - 1] != '\n') // last line of the file
            out.append(eol);
        out.append(keyLine + eol);
        out.append(content.substr(after.next));
        return out;
    }
    out.append(content);
    if (!out.empty() && out.back() != '\n')
        out.append(eol);
    out.append("[" + std::string(section) + "]" + eol + keyLine + eol);
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
    const int64_t limit = base == 16 ? 0xFFFFFFFFll : (negative ? 2147483648ll : 2147483647ll);
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

std::string ReadProfileFile(const std::string& path) {
    std::string content;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return content;
    char chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        content.append(chunk, got);
    std::fclose(file);
    return content;
}

namespace {

bool WriteWhole(const std::string& path, std::string_view content) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    const bool flushed = std::fflush(file) == 0;
    return (std::fclose(file) == 0) && written && flushed;
}

} // namespace

bool WriteProfileFile(const std::string& path, std::string_view content) {
    const std::string previous = ReadProfileFile(path);
    if (WriteWhole(path, content))
        return true;
    if (!previous.empty())
        WriteWhole(path, previous); // a full disk still has room for what was there
    return false;
}
