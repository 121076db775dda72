#pragma once

// How names become parts of topics, folders and ids: one rule for the line names, the base
// topic's default, the client id's default and Home Assistant's unique ids.

#include <string>
#include <string_view>

// Letters, digits, '-' and '_': what a name keeps as it is.
bool IsNameChar(char c);
// The name with every other byte (separators, wildcards, blanks, non-ASCII) replaced by '_'
// ("plant-2.lan" -> "plant-2_lan"); "_" for an empty name.
std::string CleanName(std::string_view name);
// An entity id part as Home Assistant forms them: lower case letters and digits, every run of
// other characters one '_', none at either end.
std::string Slug(std::string_view name);
