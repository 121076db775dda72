#pragma once

// A list of instruments' network numbers as a configuration or a command line writes it:
// "1,2,5-8" — numbers 0-255 and ranges, blanks around items allowed. The order written is kept
// (the service polls in it); a number given twice makes the list wrong.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

std::optional<std::vector<uint32_t>> ParseAddressList(std::string_view text);
