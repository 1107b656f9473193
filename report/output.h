// The three forms of a report, each from one summary.
#pragma once
#include <cstdio>
#include <string>

#include "report/summary.h"

// Plain text: totals, then the tables; columns aligned, lines of at most
// kTextWidth columns.
constexpr size_t kTextWidth = 100;
void output_text(std::FILE* out, const Summary& s);

// One JSON object (see the manual page for its fields).
void output_json(std::FILE* out, const Summary& s);

// One self-contained HTML page: styles and SVG charts inline, nothing
// fetched. Returns false when `path` cannot be written.
bool output_html(const std::string& path, const Summary& s);

// Shared by the outputs.
std::string format_percent(double share);  // "96.7%"
std::string format_fixed(double v, int places);
const char* result_text(RecordResult r);  // "ok", "failed", "stopped"
// A cause's details with their counts: "time-out (5), Input/output error
// (2), 2 others (3)"; "" without details.
std::string details_text(const CauseRow& r);
