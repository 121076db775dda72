#include "address_list.h"

#include <algorithm>
#include <set>
#include <string>

std::optional<std::vector<uint32_t>> ParseAddressList(std::string_view text) {
    std::vector<uint32_t> out;
    std::set<uint32_t> seen;
    auto number = [](std::string_view t) -> std::optional<uint32_t> {
        while (!t.empty() && t.front() == ' ')
            t.remove_prefix(1);
        while (!t.empty() && t.back() == ' ')
            t.remove_suffix(1);
        if (t.empty() || t.size() > 3 ||
            !std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        const uint32_t value = uint32_t(std::stoul(std::string(t)));
        return value <= 255 ? std::optional<uint32_t>(value) : std::nullopt;
    };
    while (true) {
        const size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const size_t dash = item.find('-');
        const auto first = number(item.substr(0, dash));
        const auto last = dash == std::string_view::npos ? first : number(item.substr(dash + 1));
        if (!first || !last || *last < *first)
            return std::nullopt;
        for (uint32_t a = *first; a <= *last; ++a)
            if (!seen.insert(a).second)
                return std::nullopt;
            else
                out.push_back(a);
        if (comma == std::string_view::npos)
            return out;
        text.remove_prefix(comma + 1);
    }
}
