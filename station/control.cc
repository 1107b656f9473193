#include "station/control.h"

#include "station/records.h"
#include "station/status.h"

namespace {

using Actions = std::vector<StationAction>;

void ask_stop(Slot* s, size_t i, bool hard, double now, Actions* out) {
  if (s->hard_sent || (!hard && s->stop_sent)) return;
  out->push_back({hard ? StationDo::kKill : StationDo::kStop, i, ""});
  if (!s->stop_sent) s->stop_time = now;
  s->stop_sent = true;
  s->hard_sent = hard;
}

void say(const Station& st, const std::string& line, Actions* out) {
  if (!st.live && !line.empty()) out->push_back({StationDo::kSay, 0, line});
}

// Ctrl-C: the first lets boxes on the line finish and stops the runs that
// have no box yet; the second (or a kill) stops every run; a third kills
// them. A drain asked for over the web or output gone, when it comes
// first, counts as the first Ctrl-C.
void stop_policy(Station* st, double now, Actions* out) {
  int stops = st->signals + st->soft_stop;
  if (stops <= st->stops_seen) return;
  st->stops_seen = stops;
  bool all = stops >= 2 || st->terminated;
  if (!st->draining || all) {
    std::string notice = all ? "Stopping every run now."
                             : "Stopping: boxes on the line finish, no new ones start (Ctrl-C "
                               "again stops them).";
    if (st->live) st->notice = notice;
    else out->push_back({StationDo::kSay, 0, "update-station: " + notice + "\n"});
  }
  st->draining = true;
  for (size_t i = 0; i < st->slots.size(); i++) {
    Slot& s = st->slots[i];
    if (s.running && (all || s.run.box_version.empty())) ask_stop(&s, i, stops >= 3, now, out);
  }
}

// A drain or output gone while nothing stops yet: the first Ctrl-C.
void soft_stop(Station* st, double now, Actions* out) {
  if (!st->draining) st->soft_stop = 1;
  stop_policy(st, now, out);
}

// Stops overdue runs and starts the runs that are due, but for `skip`'s:
// a run that could not start tries again on the next event, not in a loop.
void schedule(Station* st, double now, size_t skip, Actions* out) {
  for (size_t i = 0; i < st->slots.size(); i++) {
    Slot& s = st->slots[i];
    if (s.running) {
      if (s.stop_sent && !s.hard_sent && now - s.stop_time > kStationStopGrace)
        ask_stop(&s, i, true, now, out);
      continue;
    }
    if (s.done) continue;
    if (st->draining || (st->boxes && s.ok + s.failed >= st->boxes)) {
      s.done = true;
      continue;
    }
    if (s.parked || i == skip) continue;
    if (st->need_unit && !s.keep_unit) {
      // No serial left: nothing more to load here.
      if (st->units.empty()) {
        s.done = true;
        continue;
      }
      s.unit = st->units.front();
      st->units.pop_front();
      // A serial again is a retest: shown, never refused.
      s.retest = !st->seen.insert(s.unit).second;
      out->push_back({StationDo::kUseUnit, i, s.unit});
    }
    s.keep_unit = false;
    s.running = true;
    s.run = RunState();
    s.run_started = now;
    s.stop_sent = s.hard_sent = false;
    out->push_back({StationDo::kStart, i, s.unit});
  }
}

// The line mode's line for a new phase, with the box and speed once the
// download begins.
void run_line(Station* st, size_t i, const std::string& line, Actions* out) {
  Slot& s = st->slots[i];
  std::string before = s.run.phase;
  EventKind k = apply_event(line, &s.run);
  // The end has a line of its own once the run's exit is known.
  if (k != EventKind::kPhase || s.run.phase == before || s.run.phase == "end") return;
  std::string text = s.run.phase;
  if (text == "download" && !s.run.box_version.empty()) {
    text += ", box " + s.run.box_version;
    if (s.run.line_speed) text += " at " + std::to_string(s.run.line_speed);
  }
  say(*st, slot_line(s, text), out);
}

void run_ended(Station* st, size_t i, const StationEvent& e, Actions* out) {
  Slot& s = st->slots[i];
  RunState failed;
  RunState* r = &s.run;
  int code = e.exit_code;
  if (e.input == StationInput::kStartFailed) {
    failed.ended = true;
    failed.result = RunResult::kFailed;
    failed.error = e.text;
    failed.record = e.record;
    r = &failed;
    code = 1;
  } else if (!s.run.ended) {
    s.run.record = e.record;
    // A run the station stopped that left no record counts as stopped.
    if (s.stop_sent) {
      s.run.ended = true;
      s.run.result = RunResult::kStopped;
      s.run.error = station_stop_text(s.run.phase);
    }
  }
  s.keep_unit = e.input == StationInput::kStartFailed ||
                (r->ended && r->result == RunResult::kStopped && r->box_version.empty());
  std::string line = finish_run(st, i, *r, code);
  tally_run(&st->tally, i, *r, code);
  if (!r->record.empty()) out->push_back({StationDo::kAttempt, i, r->record});
  say(*st, line, out);
}

}  // namespace

std::vector<StationAction> station_apply(Station* st, const StationEvent& e) {
  Actions out;
  bool slot_ok = e.slot < st->slots.size();
  switch (e.input) {
    case StationInput::kTick: break;
    case StationInput::kStop:
      st->signals = e.signals;
      st->terminated |= e.terminate;
      stop_policy(st, e.now, &out);
      break;
    case StationInput::kOutputGone:
      st->output_gone = true;
      soft_stop(st, e.now, &out);
      break;
    case StationInput::kDrain: soft_stop(st, e.now, &out); break;
    case StationInput::kPark:
      if (!slot_ok) break;
      // As with the first Ctrl-C: a box on the line finishes.
      st->slots[e.slot].parked = true;
      if (st->slots[e.slot].running && st->slots[e.slot].run.box_version.empty())
        ask_stop(&st->slots[e.slot], e.slot, false, e.now, &out);
      break;
    case StationInput::kUnpark:
      if (!slot_ok || !st->slots[e.slot].parked) break;
      // A fresh start: the failures that parked it count no more.
      st->slots[e.slot].parked = st->slots[e.slot].done = false;
      st->slots[e.slot].streak = 0;
      break;
    case StationInput::kRunLine:
      if (slot_ok && st->slots[e.slot].running) run_line(st, e.slot, e.text, &out);
      break;
    case StationInput::kRunEnded:
    case StationInput::kStartFailed:
      if (slot_ok && st->slots[e.slot].running) run_ended(st, e.slot, e, &out);
      break;
  }
  size_t skip = e.input == StationInput::kStartFailed ? e.slot : st->slots.size();
  schedule(st, e.now, skip, &out);
  return out;
}

bool station_over(const Station& st) {
  for (const Slot& s : st.slots)
    if (s.running || (st.web && !st.draining && s.parked)) return false;
  return true;
}
