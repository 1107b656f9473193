#include "station/control.h"

#include "station/options.h"
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
      s.next_unit.clear();  // no box of it is loaded now
      continue;
    }
    if (s.parked || i == skip) continue;
    if (st->need_unit && !s.keep_unit && st->scan) {
      if (s.next_unit.empty()) {
        // No scanner any more: no serial can come.
        if (st->scan_ended) s.done = true;
        continue;
      }
      s.unit = s.next_unit;
      s.next_unit.clear();
      s.retest = !st->seen.insert(s.unit).second;
    } else if (st->need_unit && !s.keep_unit) {
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

// The answer to a scanned line: under the live view, else a line of its own.
void scan_say(Station* st, const std::string& text, Actions* out) {
  if (st->live) st->scan_notice = "scan: " + text;
  else out->push_back({StationDo::kSay, 0, "update-station: scan: " + text + "\n"});
}

std::string slot_name(const Station& st, size_t i) {
  return "slot " + std::to_string(i + 1) + " (" + st.slots[i].port + ")";
}

// A scanned line: the serial of the next box of the slot it names, else of
// the slot that has waited longest. One that no slot can take is said and
// dropped, never kept for later: the box it names is in no slot.
void scan_line(Station* st, const std::string& line, Actions* out) {
  ScanLine l = scan_parse(line);
  if (!l.named && l.unit.empty()) return;  // Enter alone
  std::string why = check_unit_text(l.unit);
  if (!why.empty()) {
    // Not echoed: it may hold what a terminal would take for a command.
    scan_say(st, "the serial " + why + ": not taken", out);
    return;
  }
  const std::string& unit = l.unit;
  size_t i = st->slots.size();
  if (!l.named) {
    i = scan_target(*st);
    if (i == st->slots.size()) {
      scan_say(st,
               "no slot waits for a serial: " + unit + " not taken (name the slot first: 1 " +
                   unit + ")",
               out);
      return;
    }
  } else if (l.slot < 1 || l.slot > st->slots.size()) {
    scan_say(st,
             "no slot " + std::to_string(l.slot) + " (1 to " + std::to_string(st->slots.size()) +
                 "): " + unit + " not taken",
             out);
    return;
  } else {
    i = l.slot - 1;
  }
  Slot& s = st->slots[i];
  int started = s.ok + s.failed + (s.running ? 1 : 0);
  if (s.parked) {
    scan_say(st, slot_name(*st, i) + " is parked: " + unit + " not taken", out);
    return;
  }
  if (s.done || st->draining || (st->boxes && started >= st->boxes)) {
    scan_say(st, slot_name(*st, i) + " takes no more boxes: " + unit + " not taken", out);
    return;
  }
  std::string text = unit + " for " + slot_name(*st, i);
  // A slot busy with a box (or about to retry one) loads this one next.
  if (s.running || s.keep_unit) text += ", next after its box";
  if (!s.next_unit.empty()) text += ", in place of " + s.next_unit;
  if (st->seen.count(unit)) text += ", a retest";
  s.next_unit = unit;
  scan_say(st, text, out);
}

void run_ended(Station* st, size_t i, const StationEvent& e, Actions* out) {
  Slot& s = st->slots[i];
  s.idle_since = e.now;
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
  if (!r->record.empty()) {
    out->push_back({StationDo::kAttempt, i, r->record});
    st->attempts.push_back(r->record);
    if (st->attempts.size() > kStationLastAttempts) st->attempts.pop_front();
  }
  say(*st, line, out);
}

}  // namespace

ScanLine scan_parse(const std::string& line) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  size_t b = 0, e = line.size();
  while (b < e && blank(line[b])) b++;
  while (e > b && blank(line[e - 1])) e--;
  std::string text = line.substr(b, e - b);
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') digits++;
  size_t rest = digits;
  while (rest < text.size() && blank(text[rest])) rest++;
  ScanLine out;
  if (digits > 0 && digits <= 9 && rest > digits && rest < text.size()) {
    out.named = true;
    out.slot = std::stoul(text.substr(0, digits));
    out.unit = text.substr(rest);
  } else {
    out.unit = text;
  }
  return out;
}

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
      st->slots[e.slot].idle_since = e.now;
      break;
    case StationInput::kRunLine:
      if (slot_ok && st->slots[e.slot].running) run_line(st, e.slot, e.text, &out);
      break;
    case StationInput::kRunEnded:
    case StationInput::kStartFailed:
      if (slot_ok && st->slots[e.slot].running) run_ended(st, e.slot, e, &out);
      break;
    case StationInput::kScanLine:
      if (st->scan && !st->scan_ended) scan_line(st, e.text, &out);
      break;
    case StationInput::kScanEnded:
      if (!st->scan || st->scan_ended) break;
      st->scan_ended = true;
      scan_say(st,
               "the input has ended (no scanner): slots with a serial finish their boxes, the "
               "others take no more",
               &out);
      break;
  }
  size_t skip = e.input == StationInput::kStartFailed ? e.slot : st->slots.size();
  schedule(st, e.now, skip, &out);
  return out;
}

bool station_over(const Station& st) {
  for (const Slot& s : st.slots) {
    if (s.running || (st.web && !st.draining && s.parked)) return false;
    // A slot waiting for its next serial while the scanner may send one.
    if (st.scan && !st.scan_ended && !st.draining && !s.done && !s.parked) return false;
  }
  return true;
}
