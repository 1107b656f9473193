// The box attempt under way: the runs feed it what they learn (the image,
// the box, the line, the bytes the box took) and it writes the attempt's
// record to the journal and the event stream when the attempt ends.
#pragma once
#include <cstdint>

#include "core/exit.h"
#include "core/journal.h"

// Opens the journal and the event stream the run asked for (either may be
// nullptr) and makes attempt_end the exit routine's end hook. `file` is the
// PAD file as given (nullptr for a server run). Returns false after a line
// on standard error.
bool attempt_setup(const char* journal, const char* events, const char* file);

// Starts the record of the next box attempt (the first, or the next in
// loop mode). The image of a PAD file stays for the next box; a server
// run's boxes each fetch their own.
void attempt_begin();

void attempt_image(const JournalImage& image);
// The open attempt's id (32 hex digits).
const char* attempt_id();
void attempt_box(uint16_t major, uint16_t minor);
void attempt_line_speed(uint32_t baud);
// The software's version as the update server named it ("3.3.0").
void attempt_software_version(const char* version);
void attempt_bytes_sent(uint32_t bytes);
// A signed run's verdict on the image: "ok" and the key's name, or the
// reason and nullptr. Kept for the next box of a PAD file, like the image.
void attempt_signature(const char* verdict, const char* key);

// Ends the open attempt: the port settings put back, the record written to
// the journal and the event stream. Returns false when the journal could
// not take it (the attempt then fails); true otherwise, also when no
// attempt is open.
bool attempt_end(RunEnd end, int code);
