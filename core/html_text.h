// Text made safe to stand in an HTML document, in an element or a quoted
// attribute alike: the report's pages and the station's page.
#pragma once
#include <string>
#include <string_view>

// `s` with & < > " and ' written as character references.
std::string html_text(std::string_view s);
