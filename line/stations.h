// The stations file: the stations the line expects, one a line, "NAME URL"
// ("line3-a http://10.0.3.11:8080"); blank lines and '#' comments aside.
#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Reads the file's text into (name, URL) pairs in its order. Returns "" or
// "line N: why" for the first line that is not one.
std::string stations_parse(std::string_view text,
                           std::vector<std::pair<std::string, std::string>>* out);
