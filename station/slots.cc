#include "station/slots.h"

#include <cstdarg>
#include <cstdio>

#include "station/records.h"

namespace {

std::string format(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* f, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, f);
  std::vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

std::string clock_text(double seconds) {
  long s = seconds < 0 ? 0 : (long)seconds;
  if (s >= 3600) return format("%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return format("%ld:%02ld", s / 60, s % 60);
}

int totals(const Station& st, int* failed) {
  int ok = 0;
  *failed = 0;
  for (const Slot& s : st.slots) {
    ok += s.ok;
    *failed += s.failed;
  }
  return ok;
}

double per_hour(int boxes, double elapsed) { return elapsed > 0 ? boxes * 3600.0 / elapsed : 0; }

// Cuts a row to the terminal's width: a wrapped row would throw the
// in-place redraw off by a line.
std::string fit(std::string row, int columns) {
  if (columns > 1 && (int)row.size() > columns - 1) row.resize(columns - 1);
  return row + "\n";
}

std::string or_dash(const std::string& s) { return s.empty() ? "-" : s; }

}  // namespace

bool slot_wants_unit(const Station& st, size_t i) {
  const Slot& s = st.slots[i];
  return st.scan && !s.running && !s.parked && !s.done && !s.keep_unit && s.next_unit.empty();
}

size_t scan_target(const Station& st) {
  size_t best = st.slots.size();
  for (size_t i = 0; i < st.slots.size(); i++)
    if (slot_wants_unit(st, i) &&
        (best == st.slots.size() || st.slots[i].idle_since < st.slots[best].idle_since))
      best = i;
  return best;
}

std::string slot_line(const Slot& s, const std::string& text) {
  return s.port + ": " + text + "\n";
}

std::string finish_run(Station* st, size_t i, const RunState& r, int exit_code) {
  Slot& s = st->slots[i];
  s.running = false;
  if (!r.file_version.empty()) st->file_version = r.file_version;
  if (!r.file_checksum.empty()) st->file_checksum = r.file_checksum;
  std::string line;
  if (r.ended && r.result == RunResult::kStopped && r.box_version.empty()) {
    // Stopped before a box was on the line: no attempt. A box stopped
    // after it was identified is a failed attempt, below.
    return slot_line(s, "stopped, no box");
  }
  if (r.ended && r.result == RunResult::kOk && exit_code == 0) {
    s.ok++;
    s.streak = 0;
    s.good_seconds += r.seconds;
    line = slot_line(s, format("ok in %.1f s (box %s)", r.seconds, or_dash(r.box_version).c_str()));
  } else {
    RunState why = r;
    if (!r.ended) why.error = no_record_reason(exit_code);
    else if (why.error.empty() && why.box_error.empty())
      why.error = format("update ended with exit code %d", exit_code);
    s.failed++;
    s.streak++;
    s.last_error = failure_cause(why);
    s.last_error_detail = why.error_detail;
    st->causes[s.last_error]++;
    line = slot_line(s, "failed: " + s.last_error);
    if (s.streak >= st->max_failures) {
      s.parked = true;
      s.done = true;
      line += slot_line(s, format("parked after %d failed attempts in a row", s.streak));
    }
  }
  return line;
}

namespace {

// `idle`: the phase column of a slot without a run that is neither parked
// nor done.
std::string slot_row(const Slot& s, size_t i, double now, int columns, const char* idle) {
  const RunState& r = s.run;
  std::string phase = s.parked ? "parked" : s.running ? or_dash(r.phase) : s.done ? "done" : idle;
  int pct = s.running && r.percent >= 0 ? r.percent : 0;
  std::string bar(20, '.');
  for (int b = 0; b < pct / 5 && b < 20; b++) bar[b] = '#';
  std::string pct_text = s.running && r.percent >= 0 ? format("%3d%%", r.percent) : "    ";
  std::string speed = r.line_speed ? std::to_string(r.line_speed) : "-";
  std::string time = s.running ? clock_text(now - s.run_started) : "-";
  // The unit only where serials are in play: the row stays as it was.
  std::string unit = s.unit.empty() ? "" : "unit " + s.unit + (s.retest ? " (retest)  " : "  ");
  if (!s.next_unit.empty()) unit += "next " + s.next_unit + "  ";
  std::string cause = s.last_error;
  if (!s.last_error_detail.empty()) cause += " (" + s.last_error_detail + ")";
  return fit(format("%2d %-14s %-9s [%s] %s %7s %-6s %6s  ok %3d  failed %3d  %s%s", (int)(i + 1),
                    s.port.c_str(), phase.c_str(), bar.c_str(), pct_text.c_str(), speed.c_str(),
                    or_dash(r.box_version).c_str(), time.c_str(), s.ok, s.failed, unit.c_str(),
                    cause.c_str()),
             columns);
}

}  // namespace

std::string view_frame(const Station& st, double now, int columns, int rows) {
  int failed;
  int ok = totals(st, &failed);
  std::string out =
      fit(format("%s  version %s  checksum %s  ok %d  failed %d  %.1f boxes/h  %s", st.file.c_str(),
                 or_dash(st.file_version).c_str(), or_dash(st.file_checksum).c_str(), ok, failed,
                 per_hour(ok, now), clock_text(now).c_str()),
          columns);
  int notice = (st.notice.empty() ? 0 : 1) + (st.scan_notice.empty() ? 0 : 1);
  // With --scan the operator sees which slots wait for a serial and which
  // one a serial without a slot goes to.
  size_t target = scan_target(st);
  auto row = [&](size_t i) {
    const char* idle = !slot_wants_unit(st, i) ? "-" : i == target ? "scan next" : "scan";
    return slot_row(st.slots[i], i, now, columns, idle);
  };
  // The cursor rests on the line under the frame: a frame as tall as the
  // terminal would scroll it, and the redraw would climb into old output.
  int limit = rows > 0 ? rows - 1 : 0;
  if (limit <= 0 || 1 + (int)st.slots.size() + notice <= limit) {
    for (size_t i = 0; i < st.slots.size(); i++) out += row(i);
  } else {
    // Compact: the slots that need an eye (running, or failing) and a count
    // of the rest.
    int room = limit - 2 - notice;
    int shown = 0, hidden = 0, hidden_ok = 0, hidden_failed = 0;
    for (size_t i = 0; i < st.slots.size(); i++) {
      const Slot& s = st.slots[i];
      if ((s.running || s.streak > 0 || i == target) && shown < room) {
        out += row(i);
        shown++;
      } else {
        hidden++;
        hidden_ok += s.ok;
        hidden_failed += s.failed;
      }
    }
    out += fit(format("   %d more slots  ok %d  failed %d", hidden, hidden_ok, hidden_failed),
               columns);
  }
  if (!st.scan_notice.empty()) out += fit(st.scan_notice, columns);
  if (!st.notice.empty()) out += fit(st.notice, columns);
  return out;
}

std::string summary_text(const Station& st, double elapsed) {
  int failed;
  int ok = totals(st, &failed);
  std::string out = format("Station: %d ok, %d failed, %.1f boxes/h in %s\n", ok, failed,
                           per_hour(ok, elapsed), clock_text(elapsed).c_str());
  for (const Slot& s : st.slots) {
    out += format("  %-14s ok %3d  failed %3d", s.port.c_str(), s.ok, s.failed);
    if (s.ok) out += format("  %.1f s per good box", s.good_seconds / s.ok);
    if (s.parked) out += "  parked: " + s.last_error;
    out += "\n";
  }
  if (!st.causes.empty()) {
    out += "Failures by cause:\n";
    for (const auto& [cause, n] : st.causes) out += format("  %4d  %s\n", n, cause.c_str());
  }
  return out;
}

int station_exit_code(const Station& st) {
  if (st.output_gone) return 1;
  for (const Slot& s : st.slots)
    if (s.failed) return 1;
  return 0;
}
