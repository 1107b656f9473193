// Where the attempt under way stands: its phase, for the event stream and
// for the record of a run someone stopped ("during download"), and the
// image bytes the box has acknowledged so far. Plain state: whoever wants
// to hear of a change installs an observer.
#pragma once
#include <cstdint>

enum class Phase { kStart, kOpen, kWake, kSync, kIdentify, kServer, kDownload, kProgram, kEnd };

// "start", "open", "wake", "sync", "identify", "server", "download",
// "program", "end".
const char* phase_name(Phase p);

// Told of every change of phase and every acknowledged stretch of the
// image (`done` of `total` bytes). Either pointer may be nullptr.
struct PhaseObserver {
  void (*phase)(Phase p);
  void (*progress)(uint32_t done, uint32_t total);
};

// Installs `o` in place of the last one.
void phase_observe(const PhaseObserver& o);

// Puts a new attempt at kStart and tells the observer, whatever the phase
// was: each attempt's stream of phases begins with it.
void phase_restart();

// Moves the attempt to `p`; a change is told to the observer.
void phase_set(Phase p);

Phase phase_current();

// The box acknowledged `done` of the `total` image bytes.
void phase_progress(uint32_t done, uint32_t total);
