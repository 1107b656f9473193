// The station's page in the languages it speaks: every text of the page,
// its script's included, from one table, and the page filled in with the
// texts of one language.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The languages, by their primary tags; the first is the default.
const std::vector<std::string_view>& page_languages();

// The text `key` in language `lang` (an index into page_languages()), or
// nullptr for a key the table does not hold.
const char* page_text(std::string_view key, size_t lang);

// The page (station/page.html) in language `lang`: each "{{key}}" the
// table's text, HTML-escaped; "{{lang}}" the language's tag; "{{texts}}"
// every text of the language as one JavaScript object, for the script.
// A "{{...}}" the table does not hold stays as it is.
std::string station_page(size_t lang);
