// The language of an answer, chosen from a request's Accept-Language.
#pragma once
#include <cstddef>
#include <string_view>
#include <vector>

// The index in `offered` (primary language tags in lower case, the
// default first: {"en", "de"}) of the language the client rates highest.
// A range names a tag by its primary subtag ("de-DE" and "de" both ask for
// "de"), case aside; its quality is its q (1 without one); the highest of
// the ranges naming a tag counts, "*" only for tags no range names; q=0
// refuses. Ties go to the earlier offered; a header that asks for none of
// them, is empty or cannot be read gives 0.
size_t http_pick_language(std::string_view accept, const std::vector<std::string_view>& offered);
