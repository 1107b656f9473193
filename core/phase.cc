#include "core/phase.h"

namespace {

Phase g_phase = Phase::kStart;
PhaseObserver g_observer = {nullptr, nullptr};

const char* const kNames[] = {"start",  "open",     "wake",    "sync", "identify",
                              "server", "download", "program", "end"};

}  // namespace

const char* phase_name(Phase p) { return kNames[static_cast<int>(p)]; }

void phase_observe(const PhaseObserver& o) { g_observer = o; }

void phase_restart() {
  g_phase = Phase::kStart;
  if (g_observer.phase) g_observer.phase(g_phase);
}

void phase_set(Phase p) {
  if (p == g_phase) return;
  g_phase = p;
  if (g_observer.phase) g_observer.phase(p);
}

Phase phase_current() { return g_phase; }

void phase_progress(uint32_t done, uint32_t total) {
  if (g_observer.progress) g_observer.progress(done, total);
}
