// The cause of an attempt's end: the line the tool printed when it gave up,
// kept in English beside the printout, with the value printed in it. The
// record of the attempt takes it from here rather than guessing it from the
// catalogue lookups that happened to come last.
#pragma once
#include <cstdint>
#include <cstdio>
#include <initializer_list>

// The value a failure line shows (an error value, decimal or hex as
// printed), or none.
struct ErrorCode {
  bool present;
  long value;
};
constexpr ErrorCode kNoCode = {false, 0};
constexpr ErrorCode error_code(long value) { return {true, value}; }

// Prints on `out` the texts of the catalogue messages `numbers` in the
// current language, one after the other, followed by `tail` formatted with
// the remaining arguments; keeps the same line built from the English texts
// as the cause, with `code`.
void report_failure(std::FILE* out, ErrorCode code, std::initializer_list<int> numbers,
                    const char* tail, ...) __attribute__((format(printf, 4, 5)));

// A failure line the catalogue does not hold: `shown` is printed as it
// stands, `english` (the same line in English) is kept.
void report_failure_text(std::FILE* out, ErrorCode code, const char* shown, const char* english);

// Finishes a console line that message `begun` started earlier (printed
// alone while the work it announces ran) with message `number` and a line
// feed; the cause is the whole line.
void report_failure_after(std::FILE* out, int begun, int number);

// The kept cause: the line in English without the blanks and line breaks
// that join it to the console's other output; "" when none was reported
// since the last report_reset.
const char* report_text();
ErrorCode report_code();

// Why, beside the cause: the system's own text for the error value, or
// what a file's check found. Kept for the record only, never printed.
// The last one given since report_reset stands; "" when none.
void report_detail(const char* text);
const char* report_detail_text();

// The text for a last-error value: the tool's own values (receive buffer
// full, time-out, the box's "ERROR:" line) and else the system's.
const char* error_value_text(uint32_t err);

// Forgets the cause (each box attempt starts without one).
void report_reset();
