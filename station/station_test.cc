// The station's reading of its command line, of the tool's event stream and
// its counting of runs, without processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "core/phase.h"
#include "station/control.h"
#include "station/events.h"
#include "station/journal_feed.h"
#include "station/options.h"
#include "station/page.h"
#include "station/page_text.h"
#include "station/records.h"
#include "station/slots.h"
#include "station/status.h"

namespace {

std::string parse(std::vector<std::string> args, StationOptions* o) {
  std::vector<char*> argv;
  args.insert(args.begin(), "update-station");
  for (std::string& a : args) argv.push_back(a.data());
  return parse_station_options((int)argv.size(), argv.data(), o);
}

TEST(StationOptions, SlotsAndStationOptionsAreTakenOutTheRestPassesInOrder) {
  StationOptions o;
  EXPECT_EQ(parse({"-p", "3", "-s", "3", "--boxes=2", "-p/dev/pts/4", "--port", "7", "-X",
                   "--journal", "j.jsonl", "--max-failures", "5", "box.pad", "--update", "/u"},
                  &o),
            "");
  EXPECT_EQ(o.ports, (std::vector<std::string>{"3", "/dev/pts/4", "7"}));
  EXPECT_EQ(o.pass, (std::vector<std::string>{"-s", "3", "-X", "--journal", "j.jsonl", "box.pad"}));
  EXPECT_EQ(o.file, "box.pad");
  EXPECT_EQ(o.boxes, 2);
  EXPECT_EQ(o.max_failures, 5);
  EXPECT_EQ(o.update_path, "/u");
}

// The words for the runs read as the tool reads them: an option's argument
// is never the file, however it is written.
TEST(StationOptions, TheRunsWordsReadWithTheToolsTable) {
  struct Case {
    std::vector<std::string> words;
    std::string file, journal, station;
  } cases[] = {
      {{"-ws", "3", "box.pad"}, "box.pad", "", ""},
      {{"box.pad", "-wfs", "3"}, "box.pad", "", ""},
      {{"--sp", "3", "--journal=j", "b.pad"}, "b.pad", "j", ""},
      {{"-X", "--ipa", "h", "b.pad", "--station", "line-3"}, "b.pad", "", "line-3"},
      {{"--journal", "j2", "-s3", "b.pad"}, "b.pad", "j2", ""},
      {{"-C", "update"}, "", "", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-p", "1"};
    args.insert(args.end(), c.words.begin(), c.words.end());
    StationOptions o;
    EXPECT_EQ(parse(args, &o), "") << c.words[0];
    EXPECT_EQ(o.file, c.file) << c.words[0];
    EXPECT_EQ(o.journal, c.journal) << c.words[0];
    EXPECT_EQ(o.station, c.station) << c.words[0];
    EXPECT_EQ(std::count(o.pass.begin(), o.pass.end(), "--station"), 0);
  }
}

TEST(StationOptions, RefusedCommandLines) {
  const std::vector<std::vector<std::string>> bad = {
      {"box.pad"},                              // no slot
      {"-p", "1", "--boxes", "0", "box.pad"},   // no box at all
      {"-p", "1", "--boxes", "2x", "box.pad"},  // not a number
      {"-p", "1", "--max-failures", "-1", "b"},
      {"-p", "1", "--station", "", "b"},
      {"-p"},
  };
  for (const auto& args : bad) {
    StationOptions o;
    EXPECT_NE(parse(args, &o), "") << args[args.size() - 1];
    EXPECT_FALSE(o.refused) << args[args.size() - 1];
  }
  // Words that would take the station's part from it: named, refused.
  const std::vector<std::string> refused = {
      "-l",    "--loop", "--lo",     "-bl",        "-wp4", "-wp",
      "--por", "--po=3", "--events", "--events=e", "-Xl",  "-flw",
  };
  for (const std::string& word : refused) {
    StationOptions o;
    std::string why = parse({"-p", "1", word, "4", "box.pad"}, &o);
    EXPECT_TRUE(o.refused) << word;
    EXPECT_EQ(why.rfind(word + ":", 0), 0u) << why;
  }
  // Serials from a scanner and from a list at once: which is whose?
  for (const char* units : {"--units=u.txt", "--units"}) {
    StationOptions o;
    std::vector<std::string> args = {"-p", "1", "--scan", units};
    if (std::string(units) == "--units") args.push_back("u.txt");
    args.push_back("box.pad");
    EXPECT_EQ(parse(args, &o), "--scan and --units both give the serials: choose one");
    EXPECT_TRUE(o.refused);
  }
  {
    StationOptions o;
    EXPECT_EQ(parse({"-p", "1", "--scan", "box.pad"}, &o), "");
    EXPECT_TRUE(o.scan);
    EXPECT_EQ(o.pass, (std::vector<std::string>{"box.pad"}));
  }
  // Prefixes the tool refuses (ambiguous, or --events abbreviated) go on to
  // the runs, which refuse them in their own words.
  for (const char* word : {"--p", "--ev", "--journa"}) {
    StationOptions o;
    EXPECT_EQ(parse({"-p", "1", word, "box.pad"}, &o), "") << word;
  }
}

// The lines of a good box and of a box that sent an ERROR: line.
TEST(StationEvents, GoodAndFailedRunsAsTheViewSeesThem) {
  const std::string t = R"("time":"2026-01-01T00:00:00.000Z",)";
  struct Case {
    std::string line;
    EventKind kind;
    std::string phase, box;
    long speed;
    int percent;
  } cases[] = {
      {"{" + t + R"("event":"phase","phase":"open"})", EventKind::kPhase, "open", "", 0, -1},
      {"{" + t + R"("event":"box","box_version":"23.0"})", EventKind::kBox, "open", "23.0", 0, -1},
      {"{" + t + R"("event":"speed","line_speed":921600})", EventKind::kSpeed, "open", "23.0",
       921600, -1},
      {"{" + t + R"("event":"progress","percent":42,"bytes":42,"total":100})", EventKind::kProgress,
       "open", "23.0", 921600, 42},
      {"not json", EventKind::kBad, "open", "23.0", 921600, 42},
      {R"({"event":"phase"})", EventKind::kBad, "open", "23.0", 921600, 42},
      {"{" + t + R"("event":"end","record":{"result":"ok","box_version":"23.0","seconds":12.5,)" +
           R"("file_version":"23.0","file_checksum":"0badf00d","error":null,"box_error":null}})",
       EventKind::kEnd, "end", "23.0", 921600, 42},
  };
  RunState r;
  for (const Case& c : cases) {
    EXPECT_EQ(apply_event(c.line, &r), c.kind) << c.line;
    EXPECT_EQ(r.phase, c.phase) << c.line;
    EXPECT_EQ(r.box_version, c.box) << c.line;
    EXPECT_EQ(r.line_speed, c.speed) << c.line;
    EXPECT_EQ(r.percent, c.percent) << c.line;
  }
  EXPECT_EQ(r.result, RunResult::kOk);
  EXPECT_EQ(r.seconds, 12.5);

  RunState f;
  apply_event(R"({"event":"end","record":{"result":"failed","box_version":"23.0",)"
              R"("error":"error updating image","error_detail":"Input/output error",)"
              R"("box_error":"ERROR: flash 3"}})",
              &f);
  EXPECT_EQ(f.result, RunResult::kFailed);
  EXPECT_EQ(failure_cause(f), "ERROR: flash 3");
  EXPECT_EQ(f.error_detail, "Input/output error");
}

// Runs in a row on one slot: what each counts as and when the slot parks.
TEST(StationSlots, CountsParkingAndExitCode) {
  auto end = [](const char* result, const char* error, const char* detail = "") {
    RunState r;
    r.error_detail = detail;
    r.ended = true;
    r.result = std::string(result) == "ok"        ? RunResult::kOk
               : std::string(result) == "stopped" ? RunResult::kStopped
                                                  : RunResult::kFailed;
    r.error = error;
    return r;
  };
  RunState stopped_in_transfer = end("stopped", "Stopped by SIGTERM during download.");
  stopped_in_transfer.box_version = "23.0";
  struct Step {
    RunState r;
    int exit_code;
    int ok, failed;
    bool parked;
    const char* line;
    const char* cause;  // as the live view's row ends
  } steps[] = {
      {end("ok", ""), 0, 1, 0, false, "p: ok in", " "},
      {end("stopped", "stopped"), 1, 1, 0, false, "p: stopped, no box", " "},
      {stopped_in_transfer, 1, 1, 1, false, "p: failed: Stopped by SIGTERM during download.",
       "failed   1  Stopped by SIGTERM during download."},
      // The detail beside its cause in the view, not in the line.
      {end("failed", "Time out", "time-out"), 1, 1, 2, false, "p: failed: Time out\n",
       "failed   2  Time out (time-out)"},
      // An ok record with exit code 1 is no success.
      {end("ok", ""), 1, 1, 3, false, "p: failed: update ended with exit code 1",
       "failed   3  update ended with exit code 1"},
      {RunState(), -1, 1, 4, true, "p: failed: update ended without a record (killed)", "(killed)"},
  };
  Station st;
  st.max_failures = 4;
  st.slots.resize(1);
  st.slots[0].port = "p";
  for (const Step& s : steps) {
    std::string line = finish_run(&st, 0, s.r, s.exit_code);
    EXPECT_EQ(line.rfind(s.line, 0), 0u) << line;
    std::string row = view_frame(st, 10, 200).substr(view_frame(st, 10, 200).find('\n') + 1);
    EXPECT_EQ(row.substr(row.size() - 1 - std::strlen(s.cause)), s.cause + std::string("\n"))
        << row;
    EXPECT_EQ(st.slots[0].ok, s.ok) << line;
    EXPECT_EQ(st.slots[0].failed, s.failed) << line;
    EXPECT_EQ(st.slots[0].parked, s.parked) << line;
  }
  EXPECT_EQ(station_exit_code(st), 1);
  EXPECT_EQ(st.causes["Time out"], 1);
  std::string summary = summary_text(st, 3600);
  EXPECT_NE(summary.find("parked"), std::string::npos) << summary;
  // Rows never wrap: the in-place redraw counts on one line per row.
  for (int columns : {20, 200}) {
    std::string frame = view_frame(st, 10, columns);
    size_t start = 0, eol;
    while ((eol = frame.find('\n', start)) != std::string::npos) {
      EXPECT_LT((int)(eol - start), columns);
      start = eol + 1;
    }
  }
}

// The station's rules, event by event. Each step's actions are written
// "start 1, stop 2, kill 1, say, attempt 1" (slots from 1); each slot's
// state as a letter and its failure streak: R running, S asked to stop, K
// killed (lower case while parked), P parked, D done, . waiting; then
// "draining" and "over" when they hold. A slot's serial follows a colon,
// "!" marking a retest, and a scanned serial for its next box a plus.
std::string actions_text(const std::vector<StationAction>& actions) {
  std::string out;
  for (const StationAction& a : actions) {
    if (!out.empty()) out += ", ";
    switch (a.what) {
      case StationDo::kStart: out += "start " + std::to_string(a.slot + 1); break;
      case StationDo::kStop: out += "stop " + std::to_string(a.slot + 1); break;
      case StationDo::kKill: out += "kill " + std::to_string(a.slot + 1); break;
      case StationDo::kSay: out += "say"; break;
      case StationDo::kUseUnit: out += "unit " + a.text; break;
      case StationDo::kAttempt: out += "attempt " + std::to_string(a.slot + 1); break;
    }
  }
  return out;
}

std::string state_text(const Station& st) {
  std::string out;
  for (const Slot& s : st.slots) {
    char c = s.running  ? (s.hard_sent   ? 'K'
                           : s.stop_sent ? 'S'
                                         : 'R')
             : s.parked ? 'P'
             : s.done   ? 'D'
                        : '.';
    if (s.running && s.parked) c = (char)std::tolower(c);
    if (!out.empty()) out += " ";
    out += c + std::to_string(s.streak);
    if (!s.unit.empty()) out += ":" + s.unit + (s.retest ? "!" : "");
    if (!s.next_unit.empty()) out += "+" + s.next_unit;
  }
  if (st.draining) out += " draining";
  if (station_over(st)) out += " over";
  return out;
}

TEST(StationControl, StopParkDrainAndRunEnds) {
  const std::string box = R"({"event":"box","box_version":"23.0"})";
  const std::string ok = R"({"event":"end","record":{"result":"ok","seconds":4}})";
  using I = StationInput;
  struct Step {
    I in;
    size_t slot = 0;  // from 1
    std::string line = "";
    double now = 1;
    int signals = 0;
    bool terminate = false;
    int exit_code = 1;  // kRunEnded: with no end line, a run without a record
    const char* actions = "";
    const char* state = "";
  };
  struct Scenario {
    const char* name;
    size_t slots;
    bool web;
    int max_failures;
    std::vector<Step> steps;
    int exit_code;
    std::deque<std::string> units = {};
  } scenarios[] = {
      {"park with and without a box on the line",
       2,
       true,
       3,
       {
           {.in = I::kTick, .actions = "start 1, start 2", .state = "R0 R0"},
           {.in = I::kRunLine, .slot = 1, .line = box, .state = "R0 R0"},
           {.in = I::kPark, .slot = 1, .state = "r0 R0"},  // its box finishes
           {.in = I::kPark, .slot = 2, .actions = "stop 2", .state = "r0 s0"},
           {.in = I::kPark, .slot = 3, .state = "r0 s0"},  // no such slot
           {.in = I::kRunEnded, .slot = 2, .actions = "attempt 2, say", .state = "r0 P0"},
           {.in = I::kRunLine, .slot = 1, .line = ok, .state = "r0 P0"},
           {.in = I::kRunEnded,
            .slot = 1,
            .exit_code = 0,
            .actions = "attempt 1, say",
            .state = "P0 P0"},
           // Every slot parked: the web view waits for an unpark or a drain.
           {.in = I::kTick, .now = 100, .state = "P0 P0"},
           {.in = I::kDrain, .actions = "say", .state = "P0 P0 draining over"},
       },
       0},
      {"unpark after an automatic park starts afresh",
       1,
       true,
       3,
       {
           {.in = I::kTick, .actions = "start 1", .state = "R0"},
           {.in = I::kRunEnded, .slot = 1, .actions = "attempt 1, say, start 1", .state = "R1"},
           {.in = I::kRunEnded, .slot = 1, .actions = "attempt 1, say, start 1", .state = "R2"},
           {.in = I::kRunEnded, .slot = 1, .actions = "attempt 1, say", .state = "P3"},
           {.in = I::kTick, .state = "P3"},
           {.in = I::kUnpark, .slot = 1, .actions = "start 1", .state = "R0"},
           {.in = I::kUnpark, .slot = 1, .state = "R0"},
           // One failure after the unpark is one in a row, not a fourth.
           {.in = I::kRunEnded, .slot = 1, .actions = "attempt 1, say, start 1", .state = "R1"},
       },
       1},
      {"every slot parked by failures ends a station without the web view",
       2,
       false,
       1,
       {
           {.in = I::kTick, .actions = "start 1, start 2", .state = "R0 R0"},
           {.in = I::kRunEnded, .slot = 1, .actions = "attempt 1, say", .state = "P1 R0"},
           {.in = I::kRunEnded, .slot = 2, .actions = "attempt 2, say", .state = "P1 P1 over"},
       },
       1},
      {"drain twice, Ctrl-C during the drain, a third",
       2,
       true,
       3,
       {
           {.in = I::kTick, .actions = "start 1, start 2", .state = "R0 R0"},
           {.in = I::kRunLine, .slot = 1, .line = box, .state = "R0 R0"},
           {.in = I::kDrain, .actions = "say, stop 2", .state = "R0 S0 draining"},
           {.in = I::kDrain, .state = "R0 S0 draining"},
           {.in = I::kStop, .signals = 1, .actions = "say, stop 1", .state = "S0 S0 draining"},
           {.in = I::kStop,
            .signals = 2,
            .actions = "say, kill 1, kill 2",
            .state = "K0 K0 draining"},
           // The box stopped on the line is a failed attempt; the run
           // without a box none.
           {.in = I::kRunEnded,
            .slot = 1,
            .exit_code = -1,
            .actions = "attempt 1, say",
            .state = "D1 K0 draining"},
           {.in = I::kRunEnded,
            .slot = 2,
            .exit_code = -1,
            .actions = "attempt 2, say",
            .state = "D1 D0 draining over"},
       },
       1},
      {"first Ctrl-C: the box finishes, the rest stop, the slow are killed",
       3,
       false,
       3,
       {
           {.in = I::kTick, .actions = "start 1, start 2, start 3", .state = "R0 R0 R0"},
           {.in = I::kRunLine, .slot = 1, .line = box, .state = "R0 R0 R0"},
           {.in = I::kStop,
            .signals = 1,
            .actions = "say, stop 2, stop 3",
            .state = "R0 S0 S0 draining"},
           // A drain now is no second Ctrl-C: the box still finishes.
           {.in = I::kDrain, .state = "R0 S0 S0 draining"},
           {.in = I::kRunEnded,
            .slot = 3,
            .actions = "attempt 3, say",
            .state = "R0 S0 D0 draining"},
           {.in = I::kTick, .now = 10.5, .state = "R0 S0 D0 draining"},
           {.in = I::kTick, .now = 11.5, .actions = "kill 2", .state = "R0 K0 D0 draining"},
           {.in = I::kRunLine, .slot = 1, .line = ok, .now = 12, .state = "R0 K0 D0 draining"},
           {.in = I::kRunEnded,
            .slot = 1,
            .now = 12,
            .exit_code = 0,
            .actions = "attempt 1, say",
            .state = "D0 K0 D0 draining"},
       },
       0},
      {"a kill stops every run at once",
       2,
       false,
       3,
       {
           {.in = I::kTick, .actions = "start 1, start 2", .state = "R0 R0"},
           {.in = I::kRunLine, .slot = 2, .line = box, .state = "R0 R0"},
           {.in = I::kStop,
            .signals = 1,
            .terminate = true,
            .actions = "say, stop 1, stop 2",
            .state = "S0 S0 draining"},
       },
       0},
      {"output gone with runs identified and not",
       2,
       false,
       3,
       {
           {.in = I::kTick, .actions = "start 1, start 2", .state = "R0 R0"},
           {.in = I::kRunLine, .slot = 1, .line = box, .state = "R0 R0"},
           {.in = I::kOutputGone, .actions = "say, stop 2", .state = "R0 S0 draining"},
           {.in = I::kOutputGone, .state = "R0 S0 draining"},
           {.in = I::kRunLine, .slot = 1, .line = ok, .state = "R0 S0 draining"},
           {.in = I::kRunEnded,
            .slot = 1,
            .exit_code = 0,
            .actions = "attempt 1, say",
            .state = "D0 S0 draining"},
           // As after a first Ctrl-C, the next is the second.
           {.in = I::kStop, .signals = 1, .actions = "say", .state = "D0 S0 draining"},
           {.in = I::kStop, .signals = 2, .actions = "say, kill 2", .state = "D0 K0 draining"},
       },
       1},  // every box good, but the output was not read to the end
      {"a run that cannot start tries again at the next event",
       2,
       false,
       5,
       {
           {.in = I::kTick, .actions = "start 1, start 2", .state = "R0 R0"},
           {.in = I::kStartFailed,
            .slot = 1,
            .line = "cannot start update",
            .actions = "say",
            .state = ".1 R0"},
           {.in = I::kTick, .actions = "start 1", .state = "R1 R0"},
       },
       1},
      {"units: each serial once, kept by a start that failed, a second one a retest",
       2,
       false,
       3,
       {
           {.in = I::kTick, .actions = "unit A, start 1, unit B, start 2", .state = "R0:A R0:B"},
           {.in = I::kStartFailed,
            .slot = 2,
            .line = "cannot start",
            .actions = "say",
            .state = "R0:A .1:B"},
           {.in = I::kTick, .actions = "start 2", .state = "R0:A R1:B"},
           {.in = I::kRunLine, .slot = 1, .line = ok, .state = "R0:A R1:B"},
           {.in = I::kRunEnded,
            .slot = 1,
            .exit_code = 0,
            .actions = "attempt 1, say, unit A, start 1",
            .state = "R0:A! R1:B"},
           // The list is used up: the slot is done.
           {.in = I::kRunEnded, .slot = 2, .actions = "attempt 2, say", .state = "R0:A! D2:B"},
           {.in = I::kRunEnded, .slot = 1, .actions = "attempt 1, say", .state = "D1:A! D2:B over"},
       },
       1,
       {"A", "B", "A"}},
  };
  for (const Scenario& sc : scenarios) {
    Station st;
    st.need_unit = !sc.units.empty();
    st.units = sc.units;
    st.web = sc.web;
    st.max_failures = sc.max_failures;
    st.slots.resize(sc.slots);
    st.tally = tally_make(sc.slots);
    for (size_t i = 0; i < sc.slots; i++) st.slots[i].port = std::to_string(i + 1);
    int n = 0;
    for (const Step& step : sc.steps) {
      StationEvent e;
      e.input = step.in;
      e.now = step.now;
      e.slot = step.slot - 1;
      e.signals = step.signals;
      e.terminate = step.terminate;
      e.exit_code = step.exit_code;
      e.text = step.line;
      if (step.in == I::kRunEnded && !st.slots[e.slot].run.ended) e.record = "{}";
      std::string where = std::string(sc.name) + ", step " + std::to_string(++n);
      EXPECT_EQ(actions_text(station_apply(&st, e)), step.actions) << where;
      EXPECT_EQ(state_text(st), step.state) << where;
    }
    EXPECT_EQ(station_exit_code(st), sc.exit_code) << sc.name;
  }
}

const char* const kPorts[] = {"p1", "p2", "p3"};

// A scanned line: which slot it names and the serial, whatever the blanks.
TEST(StationScan, LinesReadAsSlotAndSerial) {
  struct Case {
    const char* line;
    bool named;
    unsigned long slot;
    const char* unit;
  } cases[] = {
      {"SN123", false, 0, "SN123"},
      {"3 SN123", true, 3, "SN123"},
      {"  12\t SN 9 \r\n", true, 12, "SN 9"},
      {"3", false, 0, "3"},      // a number alone is a serial
      {"3  \r", false, 0, "3"},  // ... blanks after it or not
      {"007 A", true, 7, "A"},
      {"0 A", true, 0, "A"},         // named, and no slot of any station
      {"3x SN", false, 0, "3x SN"},  // the first word is no number
      {"1234567890 A", false, 0, "1234567890 A"},
      {" \t\r", false, 0, ""},
      {"", false, 0, ""},
  };
  for (const Case& c : cases) {
    ScanLine l = scan_parse(c.line);
    EXPECT_EQ(l.named, c.named) << c.line;
    EXPECT_EQ(l.slot, c.slot) << c.line;
    EXPECT_EQ(l.unit, c.unit) << c.line;
  }
}

// Scanned serials, step by step: where each goes, what is refused and why,
// and when the station waits or ends. `said` is the scan's answers of the
// step, " | " between them.
TEST(StationScan, SerialsGoToTheirSlots) {
  using I = StationInput;
  struct Step {
    I in;
    const char* line = "";  // kScanLine; kRunEnded, kPark, kUnpark: the slot (from 1)
    double now = 1;
    const char* actions = "";
    const char* state = "";
    const char* said = "";
  };
  struct Scenario {
    const char* name;
    size_t slots;
    bool web;
    int max_failures;
    long boxes;
    std::vector<Step> steps;
  } scenarios[] = {
      {"named, unnamed, queued, refused, the input's end",
       2,
       false,
       3,
       0,
       {
           // No serial, no start; and no end while the scanner may send one.
           {.in = I::kTick, .state = ".0 .0"},
           {.in = I::kScanLine, .line = "", .state = ".0 .0"},
           {.in = I::kScanLine,
            .line = "2 SN-B",
            .actions = "say, start 2",
            .state = ".0 R0:SN-B",
            .said = "SN-B for slot 2 (p2)"},
           {.in = I::kScanLine,
            .line = "SN-A",
            .actions = "say, start 1",
            .state = "R0:SN-A R0:SN-B",
            .said = "SN-A for slot 1 (p1)"},
           {.in = I::kScanLine,
            .line = "SN-C",
            .actions = "say",
            .state = "R0:SN-A R0:SN-B",
            .said = "no slot waits for a serial: SN-C not taken (name the slot first: 1 SN-C)"},
           {.in = I::kScanLine,
            .line = "1 SN-C",
            .actions = "say",
            .state = "R0:SN-A+SN-C R0:SN-B",
            .said = "SN-C for slot 1 (p1), next after its box"},
           {.in = I::kScanLine,
            .line = "1 SN-D",
            .actions = "say",
            .state = "R0:SN-A+SN-D R0:SN-B",
            .said = "SN-D for slot 1 (p1), next after its box, in place of SN-C"},
           {.in = I::kRunEnded,
            .line = "2",
            .actions = "attempt 2, say",
            .state = "R0:SN-A+SN-D .1:SN-B"},
           // The box scanned for it goes on at once.
           {.in = I::kRunEnded,
            .line = "1",
            .actions = "attempt 1, say, start 1",
            .state = "R1:SN-D .1:SN-B"},
           {.in = I::kScanLine,
            .line = "3 SN-E",
            .actions = "say",
            .state = "R1:SN-D .1:SN-B",
            .said = "no slot 3 (1 to 2): SN-E not taken"},
           {.in = I::kScanLine,
            .line = "0 SN-E",
            .actions = "say",
            .state = "R1:SN-D .1:SN-B",
            .said = "no slot 0 (1 to 2): SN-E not taken"},
           {.in = I::kScanLine,
            .line = "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx",
            .actions = "say",
            .state = "R1:SN-D .1:SN-B",
            .said = "the serial is longer than 64 characters: not taken"},
           {.in = I::kScanLine,
            .line = "2 SN\x1b[2J",
            .actions = "say",
            .state = "R1:SN-D .1:SN-B",
            .said = "the serial holds a character that is not printable: not taken"},
           // Seen before: a retest, taken all the same.
           {.in = I::kScanLine,
            .line = "  SN-B ",
            .actions = "say, start 2",
            .state = "R1:SN-D R1:SN-B!",
            .said = "SN-B for slot 2 (p2), a retest"},
           {.in = I::kScanLine,
            .line = "2 SN-F",
            .actions = "say",
            .state = "R1:SN-D R1:SN-B!+SN-F",
            .said = "SN-F for slot 2 (p2), next after its box"},
           // The scanner gone: what has a serial goes on, nothing else.
           {.in = I::kScanEnded,
            .actions = "say",
            .state = "R1:SN-D R1:SN-B!+SN-F",
            .said = "the input has ended (no scanner): slots with a serial finish their boxes, "
                    "the others take no more"},
           {.in = I::kScanEnded, .state = "R1:SN-D R1:SN-B!+SN-F"},
           {.in = I::kScanLine, .line = "1 SN-G", .state = "R1:SN-D R1:SN-B!+SN-F"},
           {.in = I::kRunEnded,
            .line = "1",
            .actions = "attempt 1, say",
            .state = "D2:SN-D R1:SN-B!+SN-F"},
           {.in = I::kRunEnded,
            .line = "2",
            .actions = "attempt 2, say, start 2",
            .state = "D2:SN-D R2:SN-F"},
           {.in = I::kRunEnded,
            .line = "2",
            .actions = "attempt 2, say",
            .state = "D2:SN-D P3:SN-F over"},
       }},
      {"the slot without a run longest, parked slots, a drain",
       3,
       true,
       2,
       0,
       {
           {.in = I::kScanLine,
            .line = "A",
            .actions = "say, start 1",
            .state = "R0:A .0 .0",
            .said = "A for slot 1 (p1)"},
           {.in = I::kScanLine,
            .line = "B",
            .actions = "say, start 2",
            .state = "R0:A R0:B .0",
            .said = "B for slot 2 (p2)"},
           {.in = I::kRunEnded,
            .line = "2",
            .now = 2,
            .actions = "attempt 2, say",
            .state = "R0:A .1:B .0"},
           {.in = I::kRunEnded,
            .line = "1",
            .now = 3,
            .actions = "attempt 1, say",
            .state = ".1:A .1:B .0"},
           // Slot 3 has waited since the start, slot 2 since 2, slot 1 since 3.
           {.in = I::kScanLine,
            .line = "C",
            .now = 4,
            .actions = "say, start 3",
            .state = ".1:A .1:B R0:C",
            .said = "C for slot 3 (p3)"},
           {.in = I::kScanLine,
            .line = "D",
            .now = 4,
            .actions = "say, start 2",
            .state = ".1:A R1:D R0:C",
            .said = "D for slot 2 (p2)"},
           {.in = I::kRunEnded,
            .line = "2",
            .now = 5,
            .actions = "attempt 2, say",
            .state = ".1:A P2:D R0:C"},
           {.in = I::kScanLine,
            .line = "2 E",
            .now = 5,
            .actions = "say",
            .state = ".1:A P2:D R0:C",
            .said = "slot 2 (p2) is parked: E not taken"},
           // A parked slot is no slot that waits.
           {.in = I::kScanLine,
            .line = "E",
            .now = 5,
            .actions = "say, start 1",
            .state = "R1:E P2:D R0:C",
            .said = "E for slot 1 (p1)"},
           {.in = I::kUnpark, .line = "2", .now = 6, .state = "R1:E .0:D R0:C"},
           {.in = I::kScanLine,
            .line = "3 F",
            .now = 6,
            .actions = "say",
            .state = "R1:E .0:D R0:C+F",
            .said = "F for slot 3 (p3), next after its box"},
           // A drain: no slot takes a serial now, the one waiting is let go.
           {.in = I::kDrain,
            .now = 7,
            .actions = "say, stop 1, stop 3",
            .state = "S1:E D0:D S0:C+F draining"},
           {.in = I::kScanLine,
            .line = "2 G",
            .now = 7,
            .actions = "say",
            .state = "S1:E D0:D S0:C+F draining",
            .said = "slot 2 (p2) takes no more boxes: G not taken"},
           {.in = I::kRunEnded,
            .line = "3",
            .now = 8,
            .actions = "attempt 3, say",
            .state = "S1:E D0:D D0:C draining"},
       }},
      {"an unparked slot waits from its unpark on",
       2,
       true,
       2,
       0,
       {
           {.in = I::kScanLine,
            .line = "A",
            .actions = "say, start 1",
            .state = "R0:A .0",
            .said = "A for slot 1 (p1)"},
           {.in = I::kScanLine,
            .line = "B",
            .actions = "say, start 2",
            .state = "R0:A R0:B",
            .said = "B for slot 2 (p2)"},
           {.in = I::kRunEnded,
            .line = "1",
            .now = 2,
            .actions = "attempt 1, say",
            .state = ".1:A R0:B"},
           {.in = I::kPark, .line = "1", .now = 2, .state = "P1:A R0:B"},
           {.in = I::kRunEnded,
            .line = "2",
            .now = 3,
            .actions = "attempt 2, say",
            .state = "P1:A .1:B"},
           {.in = I::kUnpark, .line = "1", .now = 4, .state = ".0:A .1:B"},
           {.in = I::kScanLine,
            .line = "C",
            .now = 5,
            .actions = "say, start 2",
            .state = ".0:A R1:C",
            .said = "C for slot 2 (p2)"},
       }},
      {"a slot at its last box takes no serial for another",
       1,
       false,
       3,
       1,
       {
           {.in = I::kScanLine,
            .line = "A",
            .actions = "say, start 1",
            .state = "R0:A",
            .said = "A for slot 1 (p1)"},
           {.in = I::kScanLine,
            .line = "1 B",
            .actions = "say",
            .state = "R0:A",
            .said = "slot 1 (p1) takes no more boxes: B not taken"},
           {.in = I::kRunEnded, .line = "1", .actions = "attempt 1, say", .state = "D1:A over"},
       }},
  };
  const std::string prefix = "update-station: scan: ";
  for (const Scenario& sc : scenarios) {
    Station st;
    st.scan = st.need_unit = true;
    st.web = sc.web;
    st.max_failures = sc.max_failures;
    st.boxes = sc.boxes;
    st.slots.resize(sc.slots);
    st.tally = tally_make(sc.slots);
    for (size_t i = 0; i < sc.slots; i++) st.slots[i].port = kPorts[i];
    int n = 0;
    for (const Step& step : sc.steps) {
      StationEvent e;
      e.input = step.in;
      e.now = step.now;
      e.text = step.line;
      if (step.in != I::kScanLine && *step.line) e.slot = std::stoul(step.line) - 1;
      if (step.in == I::kRunEnded && !st.slots[e.slot].run.ended) e.record = "{}";
      std::string where = std::string(sc.name) + ", step " + std::to_string(++n);
      std::vector<StationAction> actions = station_apply(&st, e);
      std::string said;
      for (const StationAction& a : actions) {
        if (a.what != StationDo::kSay || a.text.rfind(prefix, 0) != 0) continue;
        if (!said.empty()) said += " | ";
        said += a.text.substr(prefix.size(), a.text.size() - prefix.size() - 1);
        EXPECT_EQ(a.text.back(), '\n') << where;
      }
      EXPECT_EQ(actions_text(actions), step.actions) << where;
      EXPECT_EQ(state_text(st), step.state) << where;
      EXPECT_EQ(said, step.said) << where;
    }
  }
}

// Under the live view a scan's answer is a line of the frame, no line of
// its own.
TEST(StationScan, AnswersUnderTheLiveView) {
  Station st;
  st.scan = st.need_unit = st.live = true;
  st.slots.resize(3);
  st.tally = tally_make(3);
  for (size_t i = 0; i < 3; i++) st.slots[i].port = kPorts[i];
  st.slots[0].idle_since = 5;
  st.slots[1].idle_since = 2;
  st.slots[2].idle_since = 3;
  StationEvent e;
  e.input = StationInput::kScanLine;
  e.text = "3 SN-7";
  EXPECT_EQ(actions_text(station_apply(&st, e)), "start 3");
  EXPECT_EQ(st.scan_notice, "scan: SN-7 for slot 3 (p3)");
  e.text = "3 SN-8";
  station_apply(&st, e);
  std::string frame = view_frame(st, 10, 200);
  // Slot 2 has waited longest: the next serial without a slot is its.
  EXPECT_NE(frame.find(" 1 p1             scan      ["), std::string::npos) << frame;
  EXPECT_NE(frame.find(" 2 p2             scan next ["), std::string::npos) << frame;
  EXPECT_NE(frame.find("unit SN-7  next SN-8"), std::string::npos) << frame;
  EXPECT_NE(frame.find("\nscan: SN-8 for slot 3 (p3), next after its box\n"), std::string::npos)
      << frame;
  // Too small a terminal: the slot a serial goes to is shown before the
  // slots running.
  frame = view_frame(st, 10, 200, 5);
  EXPECT_NE(frame.find(" 2 p2             scan next ["), std::string::npos) << frame;
  EXPECT_NE(frame.find("2 more slots"), std::string::npos) << frame;
  nlohmann::ordered_json j = status_json(st, "s", 10);
  EXPECT_EQ(j["scan"], nlohmann::ordered_json::parse(R"({"slot":2,"ended":false})"));
  EXPECT_EQ(j["slots"][2]["unit"], "SN-7");
  EXPECT_EQ(j["slots"][2]["next_unit"], "SN-8");
  EXPECT_EQ(j["slots"][0]["next_unit"], nullptr);
  // Without --scan the status is as it was.
  st.scan = false;
  j = status_json(st, "s", 10);
  EXPECT_FALSE(j.contains("scan"));
  EXPECT_FALSE(j["slots"][2].contains("next_unit"));
}

// The status carries the last attempts, newest first, for a page opened
// late.
TEST(StationControl, TheStatusCarriesTheLastTwentyAttempts) {
  Station st;
  st.max_failures = 100;
  st.slots.resize(1);
  st.tally = tally_make(1);
  station_apply(&st, StationEvent());
  for (int n = 0; n < 25; n++) {
    StationEvent e;
    e.input = StationInput::kRunEnded;
    e.exit_code = 1;
    e.record = "{\"n\":" + std::to_string(n) + "}";
    station_apply(&st, e);
  }
  nlohmann::ordered_json a = status_json(st, "s", 1)["attempts"];
  ASSERT_EQ(a.size(), kStationLastAttempts);
  EXPECT_EQ(a[0]["n"], 24);
  EXPECT_EQ(a[19]["n"], 5);
}

// More slots than the terminal has rows: the slots that need an eye and a
// count of the rest, never a frame that scrolls.
TEST(StationSlots, CompactViewFitsTheTerminal) {
  Station st;
  st.slots.resize(40);
  for (size_t i = 0; i < st.slots.size(); i++) st.slots[i].port = "port" + std::to_string(i + 1);
  st.slots[3].running = true;
  st.slots[7].streak = 2;
  st.slots[7].failed = 2;
  st.slots[9].ok = 5;
  st.notice = "Stopping";
  struct Case {
    int rows;
    bool compact;
  } cases[] = {{0, false}, {43, false}, {42, true}, {12, true}, {3, true}};
  for (const Case& c : cases) {
    std::string frame = view_frame(st, 10, 200, c.rows);
    int lines = (int)std::count(frame.begin(), frame.end(), '\n');
    if (c.rows) {
      EXPECT_LE(lines, std::max(c.rows - 1, 3)) << frame;
    }
    bool counted = frame.find("38 more slots  ok 5  failed 0") != std::string::npos;
    EXPECT_EQ(counted, c.compact && c.rows > 3) << frame;
    EXPECT_EQ(frame.find(" 1 port1 ") != std::string::npos, !c.compact) << frame;
    if (c.rows != 3) {
      EXPECT_NE(frame.find(" 4 port4 "), std::string::npos) << frame;
      EXPECT_NE(frame.find(" 8 port8 "), std::string::npos) << frame;
    }
    EXPECT_NE(frame.find("Stopping"), std::string::npos) << frame;
  }
}

// The record the station writes for a run that left none.
TEST(StationRecords, RunsThatLeftNoRecord) {
  OrphanRun o;
  o.station = "line-3";
  o.port = "/dev/pts/7";
  o.mode = "serial";
  o.file = "box.pad";
  o.have_image = true;
  o.image = {6013, 21, true, 0x0badf00d, 0x00170000};
  o.run.phase = "download";
  o.run.box_version = "23.0";
  o.run.bytes = 1024;
  o.exit_code = -1;
  o.reason = no_record_reason(-1);
  for (int i = 0; i < 400; i++) keep_tail(&o.err_tail, "noise\n", 6);
  std::string last = "one\r\ntwo\n\nthree\n";
  keep_tail(&o.err_tail, last.data(), last.size());
  EXPECT_LE(o.err_tail.size(), 4096u);
  nlohmann::json r = nlohmann::json::parse(orphan_record(o));
  EXPECT_EQ(r["result"], "failed");
  EXPECT_EQ(r["station"], "line-3");
  std::string id = r["attempt"];
  EXPECT_EQ(id.size(), 32u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
  EXPECT_EQ(r["port"], "/dev/pts/7");
  EXPECT_EQ(r["box_version"], "23.0");
  EXPECT_EQ(r["file_checksum"], "0badf00d");
  EXPECT_EQ(r["bytes_sent"], 1024);
  EXPECT_EQ(r["exit_code"], -1);
  EXPECT_EQ(r["error"],
            "update ended without a record (killed); its standard error: "
            "noise | noise | one | two | three");
  o.stopped = true;
  o.port = "7";
  o.err_tail.clear();
  r = nlohmann::json::parse(orphan_record(o));
  EXPECT_NE(r["attempt"], id);
  EXPECT_EQ(r["result"], "stopped");
  EXPECT_EQ(r["port"], 7);
  EXPECT_EQ(r["error"], "Stopped by the station during download.");
}

}  // namespace

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/process.h"
#include "station/web.h"

namespace {

using ojson = nlohmann::ordered_json;

TEST(StationOptions, WebViewOptions) {
  StationOptions o;
  EXPECT_EQ(parse({"-p", "1", "--http", "[::1]:0", "--http-token-file=t", "--station", "line3-a",
                   "box.pad"},
                  &o),
            "");
  EXPECT_EQ(o.http, "[::1]:0");
  EXPECT_EQ(o.token_file, "t");
  EXPECT_EQ(o.station, "line3-a");
  // The station's own words are not the runs' (the start hands --station on).
  EXPECT_EQ(o.pass, (std::vector<std::string>{"box.pad"}));
  StationOptions bad;
  EXPECT_NE(parse({"-p", "1", "--http-token-file", "t", "box.pad"}, &bad), "");  // nothing to guard
}

// Each slot's state, percent and counts as the page and the API show them.
TEST(StationStatus, SlotsTotalsAndCauses) {
  struct Case {
    bool running, parked, done;
    std::string phase, box;
    int percent;
    std::string state;
    ojson percent_shown;
  } cases[] = {
      {true, false, false, "", "", -1, "start", nullptr},
      {true, false, false, "download", "23.0", 42, "download", 42},
      {true, true, false, "wake", "", -1, "parked", nullptr},     // being stopped
      {true, true, false, "download", "23.0", 7, "download", 7},  // a box finishes
      {false, true, true, "end", "23.0", 100, "parked", nullptr},
      {false, false, true, "end", "23.0", 100, "done", nullptr},
      {false, false, false, "end", "23.0", 100, "waiting", nullptr},
  };
  Station st;
  st.file = "box.pad";
  st.file_version = "23.0";
  for (const Case& c : cases) {
    Slot s;
    s.port = "p" + std::to_string(st.slots.size());
    s.running = c.running;
    s.parked = c.parked;
    s.done = c.done;
    s.run.phase = c.phase;
    s.run.box_version = c.box;
    s.run.percent = c.percent;
    s.ok = 2;
    s.failed = 1;
    st.slots.push_back(s);
  }
  st.slots[0].last_error = "ERROR: \xff\xfe bad";  // box text that is not UTF-8
  st.slots[0].last_error_detail = "Input/output error";
  st.causes = {{"b", 1}, {"a", 3}, {"c", 3}};
  st.draining = true;
  ojson j = status_json(st, "line3-a", 1800);
  ASSERT_EQ(j["slots"].size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); i++) {
    EXPECT_EQ(j["slots"][i]["slot"], i + 1);
    EXPECT_EQ(j["slots"][i]["state"], cases[i].state) << i;
    EXPECT_EQ(j["slots"][i]["percent"], cases[i].percent_shown) << i;
    EXPECT_EQ(j["slots"][i]["last_error_detail"], i ? ojson(nullptr) : ojson("Input/output error"));
  }
  EXPECT_EQ(j["ok"], 14);
  EXPECT_EQ(j["failed"], 7);
  EXPECT_EQ(j["boxes_per_hour"], 28.0);
  EXPECT_EQ(j["file_checksum"], nullptr);
  EXPECT_EQ(j["draining"], true);
  EXPECT_EQ(j["causes"], ojson::parse(R"([{"cause":"a","count":3},{"cause":"c","count":3},)"
                                      R"({"cause":"b","count":1}])"));
  // Served a minute later: the clock moves, nothing else.
  status_set_clock(&j, 3600);
  EXPECT_EQ(j["elapsed"], 3600.0);
  EXPECT_EQ(j["boxes_per_hour"], 14.0);
  std::string text = json_text(j);
  EXPECT_FALSE(ojson::parse(text, nullptr, false).is_discarded()) << text;
}

// The metrics count runs by their journal record; every series is there
// at 0 before the first run.
TEST(StationMetrics, CountsByRecordEverySeriesFromTheStart) {
  Station st;
  st.slots.resize(2);
  st.slots[0].port = "1";
  st.slots[1].port = "/dev/ttyUSB0";
  st.tally = tally_make(2);
  StationTally& t = st.tally;
  std::string zero = metrics_text(st, "s");
  for (const char* series :
       {"update_station_attempts_total{station=\"s\",port=\"1\",result=\"ok\"} 0\n",
        "update_station_attempts_total{station=\"s\",port=\"1\",result=\"failed\"} 0\n",
        "update_station_attempts_total{station=\"s\",port=\"/dev/ttyUSB0\",result=\"stopped\"} 0\n",
        "update_station_bytes_total{station=\"s\",port=\"/dev/ttyUSB0\"} 0\n",
        "update_station_slot_parked{station=\"s\",port=\"1\"} 0\n",
        "update_station_attempt_duration_seconds_count{station=\"s\"} 0\n",
        "update_station_info{station=\"s\",file_version=\"\",file_checksum=\"\"} 1\n"})
    EXPECT_NE(zero.find(series), std::string::npos) << series << zero;

  auto run = [](RunResult result, double seconds, long bytes) {
    RunState r;
    r.ended = result != RunResult::kNone;
    r.result = result;
    r.seconds = seconds;
    r.bytes = bytes;
    return r;
  };
  tally_run(&t, 0, run(RunResult::kOk, 12, 1000), 0);
  tally_run(&t, 0, run(RunResult::kOk, 50, 1000), 1);  // ok record, bad exit: failed
  tally_run(&t, 0, run(RunResult::kStopped, 0, 0), 1);
  tally_run(&t, 1, run(RunResult::kNone, 0, 300), -1);  // no record: failed
  tally_run(&t, 1, run(RunResult::kOk, 3, 1000), 0);
  st.slots[1].running = true;  // a run in progress counts its bytes so far
  st.slots[1].run.bytes = 512;
  st.slots[1].parked = true;
  std::string m = metrics_text(st, "s");
  for (const char* series :
       {"update_station_attempts_total{station=\"s\",port=\"1\",result=\"ok\"} 1\n",
        "update_station_attempts_total{station=\"s\",port=\"1\",result=\"failed\"} 1\n",
        "update_station_attempts_total{station=\"s\",port=\"1\",result=\"stopped\"} 1\n",
        "update_station_attempts_total{station=\"s\",port=\"/dev/ttyUSB0\",result=\"failed\"} 1\n",
        "update_station_bytes_total{station=\"s\",port=\"1\"} 2000\n",
        "update_station_bytes_total{station=\"s\",port=\"/dev/ttyUSB0\"} 1812\n",
        "update_station_slot_parked{station=\"s\",port=\"/dev/ttyUSB0\"} 1\n",
        "update_station_attempt_duration_seconds_bucket{station=\"s\",le=\"2\"} 0\n",
        "update_station_attempt_duration_seconds_bucket{station=\"s\",le=\"5\"} 1\n",
        "update_station_attempt_duration_seconds_bucket{station=\"s\",le=\"15\"} 2\n",
        "update_station_attempt_duration_seconds_count{station=\"s\"} 2\n",
        "update_station_attempt_duration_seconds_sum{station=\"s\"} 15\n"})
    EXPECT_NE(m.find(series), std::string::npos) << series << m;
}

// Status events: one per change, at most 5 a second, none for the clock
// alone; one held back goes out later, or at the end whatever its age.
TEST(StationWebView, StatusEventsAtMostFiveASecond) {
  std::string error;
  WebView* w = web_start({"127.0.0.1:0", "", "s", 1, [] { return 0.0; }, {}}, &error);
  ASSERT_NE(w, nullptr) << error;
  std::string local = web_local(w);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(std::stoi(local.substr(local.rfind(':') + 1)));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, (sockaddr*)&a, sizeof a), 0);
  std::string req = "GET /api/events HTTP/1.1\r\nHost: localhost\r\n\r\n";
  ASSERT_EQ(write(fd, req.data(), req.size()), (ssize_t)req.size());
  std::string got;
  // The status events that arrive: waits up to 5 s for `expect` of them,
  // then a moment for any beyond (a surplus shows there or at the next).
  auto events = [&](int expect) {
    int n = 0;
    for (int quiet = 0; quiet < 2;) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, n < expect ? 5000 : 100) <= 0) {
        if (n < expect) break;
        quiet++;
        continue;
      }
      char buf[8192];
      ssize_t got_now = read(fd, buf, sizeof buf);
      if (got_now <= 0) break;
      got.append(buf, got_now);
      n = 0;
      for (size_t at = got.find("event: status\n"); at != std::string::npos;
           at = got.find("event: status\n", at + 1))
        n++;
    }
    got.clear();
    return n;
  };
  EXPECT_EQ(events(1), 1);  // the state at connect

  Station st;
  st.slots.resize(1);
  st.tally = tally_make(1);
  struct Step {
    double now;
    int percent;  // the change, or the same as before
    bool last;
    int events;
  } steps[] = {
      {1.00, 1, false, 1},                       // a change
      {1.05, 2, false, 0},                       // too soon: held
      {1.10, 3, false, 0}, {1.21, 3, false, 1},  // the held one
      {1.50, 3, false, 0},                       // only the clock moved
      {1.60, 4, false, 1}, {1.61, 5, true, 1},   // the last, whatever its age
  };
  st.slots[0].running = true;
  for (const Step& s : steps) {
    st.slots[0].run.percent = s.percent;
    web_publish(w, st, s.now, s.last);
    EXPECT_EQ(events(s.events), s.events) << s.now;
  }
  close(fd);
  web_stop(w);
}

int dial_local(const std::string& local) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(std::stoi(local.substr(local.rfind(':') + 1)));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (sockaddr*)&a, sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads from `fd` until `until` arrives, the peer closes or `ms` pass;
// returns what came.
std::string read_until(int fd, const std::string& until, int ms) {
  std::string got;
  pollfd p = {fd, POLLIN, 0};
  while (got.find(until) == std::string::npos && poll(&p, 1, ms) > 0) {
    char buf[8192];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, n);
  }
  return got;
}

size_t open_descriptors() {
  size_t n = 0;
  for (int fd = 0; fd < 1024; fd++) n += fcntl(fd, F_GETFD) != -1;
  return n;
}

// A control request waits for the station's loop, and only its own
// connection waits: a stream and a scrape are answered meanwhile, and the
// answer is the status of the publish after the loop took the request.
// Starts that fail, and stops, leave no descriptor open.
TEST(StationWebView, ControlWaitsForTheLoopNobodyElseDoes) {
  std::string token = testing::TempDir() + "token" + std::to_string(getpid());
  FILE* f = std::fopen(token.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("t0ken\n", f);
  std::fclose(f);
  size_t before = open_descriptors();
  std::string error;
  for (const char* bad : {"127.0.0.1:99999", "256.0.0.1:0"})
    EXPECT_EQ(web_start({bad, token, "s", 2, [] { return 0.0; }, {}}, &error), nullptr) << bad;
  EXPECT_EQ(open_descriptors(), before);

  WebView* w = web_start({"127.0.0.1:0", token, "s", 2, [] { return 0.0; }, {}}, &error);
  ASSERT_NE(w, nullptr) << error;
  std::string local = web_local(w);
  int stream = dial_local(local);
  ASSERT_GE(stream, 0);
  std::string get = "GET /api/events HTTP/1.1\r\nHost: localhost\r\n\r\n";
  ASSERT_EQ(write(stream, get.data(), get.size()), (ssize_t)get.size());
  EXPECT_NE(read_until(stream, "event: status\n", 10000).find("event: status\n"),
            std::string::npos);

  int control = dial_local(local);
  ASSERT_GE(control, 0);
  std::string park =
      "POST /api/slots/2/park HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer t0ken\r\n"
      "Content-Length: 0\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(write(control, park.data(), park.size()), (ssize_t)park.size());
  // The loop has it once its wait ends.
  ASSERT_TRUE(plat_wait_any({web_wait_handle(w)}, 10000));

  Station st;
  st.slots.resize(2);
  st.tally = tally_make(2);
  st.slots[0].running = true;
  st.slots[0].run.percent = 10;
  web_publish(w, st, 1);  // a change the stream shows, the request not yet taken
  EXPECT_NE(read_until(stream, "\"percent\":10", 10000).find("\"percent\":10"), std::string::npos);
  int scrape = dial_local(local);
  ASSERT_GE(scrape, 0);
  std::string metrics = "GET /metrics HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(write(scrape, metrics.data(), metrics.size()), (ssize_t)metrics.size());
  EXPECT_NE(read_until(scrape, "update_station_info", 10000).find("update_station_info"),
            std::string::npos);
  close(scrape);
  pollfd p = {control, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0) << "answered before the loop applied it";

  std::vector<WebControl> taken = web_take(w);
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].action, WebAction::kPark);
  EXPECT_EQ(taken[0].slot, 1u);
  EXPECT_EQ(poll(&p, 1, 0), 0) << "answered before the publish that shows it";
  st.slots[1].parked = true;
  web_publish(w, st, 2);
  std::string answer = read_until(control, "\"causes\"", 10000);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  EXPECT_NE(answer.find("\"state\":\"parked\""), std::string::npos) << answer;
  close(control);

  // One still waiting when the station ends is answered as it stands.
  control = dial_local(local);
  ASSERT_GE(control, 0);
  std::string drain =
      "POST /api/drain HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer t0ken\r\n"
      "Content-Length: 0\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(write(control, drain.data(), drain.size()), (ssize_t)drain.size());
  ASSERT_TRUE(plat_wait_any({web_wait_handle(w)}, 10000));
  web_stop(w);
  answer = read_until(control, "\"causes\"", 10000);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  close(control);
  close(stream);
  EXPECT_EQ(open_descriptors(), before);
  std::remove(token.c_str());
}

// The journal from a cursor, the way a hub follows it: pages that join up,
// a torn last line left until whole, a rotated or rewritten journal read
// from its start, and queries refused rather than guessed at.
TEST(StationJournalFeed, PagesFromACursorThroughTornLinesAndRotation) {
  std::string dir = testing::TempDir() + "feed" + std::to_string(getpid());
  mkdir(dir.c_str(), 0700);
  std::string path = dir + "/j.jsonl";
  auto write = [&](const std::string& text, const char* mode) {
    FILE* f = std::fopen(path.c_str(), mode);
    ASSERT_TRUE(f);
    std::fputs(text.c_str(), f);
    std::fclose(f);
  };
  auto get = [&](const std::string& query) {
    JournalFeed f = journal_feed(path, query);
    EXPECT_EQ(f.status, 200) << query << f.body;
    return nlohmann::json::parse(f.body);
  };
  auto after = [](const nlohmann::json& page) {
    return "after=" + page["next"].get<std::string>();
  };
  auto attempts = [](const nlohmann::json& page) {
    std::string out;
    for (const auto& r : page["records"]) out += r.is_object() ? r["a"].get<std::string>() : "?";
    return out;
  };

  write("{\"a\":\"1\"}\n{\"a\":\"2\"}\n\n{\"a\":\"3\"}\nnot json\n{\"a\":\"4\"", "w");
  nlohmann::json p = get("limit=2");
  EXPECT_EQ(attempts(p), "12");
  EXPECT_TRUE(p["more"]);
  p = get(after(p));
  EXPECT_EQ(attempts(p), "3?");  // blank skipped; the torn {"a":"4" not yet
  EXPECT_EQ(p["records"][1], "not json");
  EXPECT_FALSE(p["more"]);
  nlohmann::json at_end = get(after(p));
  EXPECT_EQ(attempts(at_end), "");
  EXPECT_EQ(at_end["next"], p["next"]);
  write("}\n{\"a\":\"5\"}\n", "a");  // the torn line made whole
  EXPECT_EQ(attempts(get(after(p))), "45");
  nlohmann::json done = get(after(p));
  // The whole journal once more, from no cursor, at the largest page.
  EXPECT_EQ(attempts(get("limit=999999")), "123?45");

  // Rotated: the old name moved away, a new journal begun. What the old
  // one got after the cursor comes first, from its rotated name.
  write("{\"a\":\"x\"}\n", "a");
  ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
  write("{\"a\":\"6\"}\n", "w");
  nlohmann::json rest = get(after(done));
  EXPECT_EQ(attempts(rest), "x");
  EXPECT_EQ(attempts(get(after(rest))), "6");
  EXPECT_EQ(attempts(get(after(done))), "x");  // the same cursor, the same answer
  // Rewritten in place with other lines (same file, new first line).
  nlohmann::json six = get("");
  write("{\"a\":\"7\"}\n{\"a\":\"8\"}\n", "w");
  EXPECT_EQ(attempts(get(after(six))), "78");
  // A cursor whose offset is not a line start of its journal.
  JournalCursor c;
  ASSERT_TRUE(journal_cursor_parse(six["next"].get<std::string>(), &c));
  EXPECT_EQ(c.offset, 10u);
  nlohmann::json eight = get("");
  ASSERT_TRUE(journal_cursor_parse(eight["next"].get<std::string>(), &c));
  c.offset = 3;
  EXPECT_EQ(attempts(get("after=" + journal_cursor_text(c))), "78");
  c.offset = 10;  // escaped as a client may send it
  std::string text = journal_cursor_text(c);
  text.replace(0, 2, "%6A%31");
  EXPECT_EQ(attempts(get("limit=5&after=" + text)), "8");

  struct Bad {
    std::string query;
    int status;
  } bad[] = {
      {"after=", 400},
      {"after=j1-1-2-3", 400},
      {"after=j1-1-2-3-4-5", 400},
      {"after=j1-1-2-3-x", 400},
      {"after=j2-1-2-3-4", 400},
      {"after=j1-11111111111111111-2-3-4", 400},
      {"after=%zz", 400},
      {"after=j1-1-2-3-4%", 400},
      {"limit=0", 400},
      {"limit=ten", 400},
      {"limit=-1", 400},
  };
  for (const Bad& b : bad) EXPECT_EQ(journal_feed(path, b.query).status, b.status) << b.query;
  EXPECT_EQ(journal_feed("", "").status, 404);
  // No journal written yet: nothing, and a cursor that reads it from its start.
  JournalFeed none = journal_feed(dir + "/none.jsonl", "");
  EXPECT_EQ(none.status, 200);
  EXPECT_EQ(attempts(nlohmann::json::parse(none.body)), "");
  for (const char* name : {"/j.jsonl", "/j.jsonl.1"}) unlink((dir + name).c_str());
  rmdir(dir.c_str());
}

// A page stops at its byte bound (the first record always goes) and a line
// too long to be a record is stepped over, never served or stuck on.
TEST(StationJournalFeed, BoundedBytesAndOverlongLines) {
  std::string path = testing::TempDir() + "feed-big" + std::to_string(getpid()) + ".jsonl";
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_TRUE(f);
  std::string big = "{\"pad\":\"" + std::string(kJournalFeedLine - 30, 'x') + "\"}\n";
  std::fputs(("{\"n\":1}\n" + std::string(kJournalFeedLine + 10, 'y') + "\n").c_str(), f);
  for (int i = 0; i < 10; i++) std::fputs(big.c_str(), f);
  std::fputs("{\"n\":2}\n", f);
  std::fclose(f);
  std::vector<size_t> pages;
  std::string query;
  for (int guard = 0; guard < 10; guard++) {
    nlohmann::json p = nlohmann::json::parse(journal_feed(path, query).body);
    pages.push_back(p["records"].size());
    for (const auto& r : p["records"]) EXPECT_TRUE(r.is_object());
    query = "after=" + p["next"].get<std::string>();
    if (!p["more"]) break;
  }
  EXPECT_EQ(pages, (std::vector<size_t>{9, 3}));
  unlink(path.c_str());
}

// The page in each language: every text its markup and its script ask
// for is there, in that language; nothing is left unfilled; the script
// gets the texts as the table has them.
TEST(StationPage, EveryTextInEveryLanguage) {
  const std::string page = kStationPage;
  // What the script looks up: T.key, T["key"], say("key", ...), and the
  // states and results it names by their API words.
  std::set<std::string> keys;
  const std::regex used(R"re(T\.(\w+)|T\["([\w.]+)"\]|say\("([\w.]+)")re");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), used); it != std::sregex_iterator();
       ++it)
    for (int g = 1; g <= 3; g++)
      if ((*it)[g].matched) keys.insert((*it)[g].str());
  for (int p = (int)Phase::kStart; p <= (int)Phase::kEnd; p++)
    keys.insert(std::string("state.") + phase_name((Phase)p));
  for (const char* s : {"parked", "done", "waiting"}) keys.insert(std::string("state.") + s);
  for (const char* r : {"ok", "failed", "stopped"}) keys.insert(std::string("result.") + r);
  // Each column's label (the last column, the buttons, has none).
  std::smatch columns;
  ASSERT_TRUE(std::regex_search(page, columns, std::regex(R"(const columns = \[([^\]]*)\])")));
  const std::string names = columns[1].str();
  const std::regex word("\"(\\w+)\"");
  for (auto it = std::sregex_iterator(names.begin(), names.end(), word);
       it != std::sregex_iterator(); ++it)
    if ((*it)[1].str() != "act") keys.insert("col." + (*it)[1].str());
  EXPECT_GT(keys.size(), 30u);
  struct Case {
    size_t lang;
    const char* tag;
    const char* heading;  // one text of the markup
  } cases[] = {{0, "en", "<th>State</th>"}, {1, "de", "<th>Zustand</th>"}};
  ASSERT_EQ(page_languages().size(), std::size(cases));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    EXPECT_EQ(page_languages()[c.lang], c.tag);
    std::string filled = station_page(c.lang);
    EXPECT_EQ(filled.find("{{"), std::string::npos) << filled.substr(filled.find("{{"), 40);
    EXPECT_NE(filled.find(std::string("<html lang=\"") + c.tag + "\">"), std::string::npos);
    EXPECT_NE(filled.find(c.heading), std::string::npos);
    size_t at = filled.find("const T = ");
    ASSERT_NE(at, std::string::npos);
    size_t end = filled.find(";\n", at);
    nlohmann::json texts =
        nlohmann::json::parse(filled.substr(at + 10, end - at - 10), nullptr, false);
    ASSERT_TRUE(texts.is_object());
    for (const std::string& k : keys) {
      const char* text = page_text(k, c.lang);
      ASSERT_NE(text, nullptr) << k;
      EXPECT_NE(*text, 0) << k;
      EXPECT_EQ(texts.value(k, ""), text) << k;
    }
    // A text the script fills in keeps its places in every language.
    for (const std::string& k : keys) {
      std::string en = page_text(k, 0), here = page_text(k, c.lang);
      for (const char* place : {"{n}", "{box}", "{seconds}", "{port}", "{status}", "{unit}"})
        EXPECT_EQ(en.find(place) == std::string::npos, here.find(place) == std::string::npos)
            << k << " " << place;
    }
  }
  EXPECT_EQ(page_text("col.state", 2), nullptr);
  EXPECT_EQ(page_text("no such text", 0), nullptr);
}

}  // namespace
