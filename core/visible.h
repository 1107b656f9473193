// Text from a box, made safe to show on a terminal or to keep in a record.
#pragma once
#include <cstddef>
#include <string>

// The `n` bytes at `text` (NULs included) with every control character
// shown visibly: C0 controls other than tab, CR and LF in caret notation
// (ESC as ^[, NUL as ^@), DEL as ^?, and the C1 controls (a byte 0x80..0x9F
// on its own, or U+0080..U+009F in UTF-8) as M- before the caret form of
// the same control, as `cat -v` shows them (0x9B as M-^[). Everything else
// goes through byte for byte, plain text, UTF-8 and Latin-1 letters alike.
std::string visible_text(const char* text, size_t n);

// Length of the well-formed UTF-8 sequence at `p` (at most `left` bytes),
// or 0 when there is none (a byte below 0xC2 or above 0xF4, an overlong
// form, a surrogate, a code point past U+10FFFF, a cut-off sequence).
size_t utf8_sequence_length(const unsigned char* p, size_t left);
