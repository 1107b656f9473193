#include "core/phase.h"

#include "core/events.h"

namespace {

Phase g_phase = Phase::kStart;

const char* const kNames[] = {"start",    "open",     "wake",    "sync", "identify",
                              "server",   "download", "program", "end"};

}  // namespace

const char* phase_name(Phase p) { return kNames[static_cast<int>(p)]; }

void phase_set(Phase p) {
  if (p == g_phase) return;
  g_phase = p;
  events_phase(p);
}

Phase phase_current() { return g_phase; }
