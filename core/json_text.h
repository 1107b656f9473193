// The small pieces of text every JSON Lines record shares: the journal,
// the event stream and the update server's request log.
#pragma once
#include <string>

// The current UTC time as the records write it, to the millisecond:
// "2026-12-08T03:24:21.147Z".
std::string utc_now_text();

// `text` as a JSON string with its quotes. Bytes that are not UTF-8 become
// \u00XX (read as Latin-1), so the line stays valid whatever a path holds.
std::string json_string(const char* text);
