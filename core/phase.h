// Where the attempt under way stands, for the event stream and for the
// record of a run someone stopped ("during download").
#pragma once

enum class Phase { kStart, kOpen, kWake, kSync, kIdentify, kServer, kDownload, kProgram, kEnd };

// "start", "open", "wake", "sync", "identify", "server", "download",
// "program", "end".
const char* phase_name(Phase p);

// Moves the attempt to `p`; a change goes to the event stream when one is
// open.
void phase_set(Phase p);

Phase phase_current();
