#include "names.h"

bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

std::string CleanName(std::string_view name) {
    if (name.empty())
        return "_";
    std::string out(name);
    for (char& c : out)
        if (!IsNameChar(c))
            c = '_';
    return out;
}

std::string Slug(std::string_view name) {
    std::string out;
    bool gap = false;
    for (const char c : name) {
        const char lower = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
        if ((lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9')) {
            if (gap && !out.empty())
                out += '_';
            out += lower;
            gap = false;
        } else {
            gap = true;
        }
    }
    return out;
}
