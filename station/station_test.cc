// The station's reading of its command line, of the tool's event stream and
// its counting of runs, without processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "station/events.h"
#include "station/options.h"
#include "station/records.h"
#include "station/slots.h"

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
      "-l",   "--loop", "--lo", "-bl",  "-wp4",       "-wp",   "--por",
      "--po=3", "--events", "--events=e", "-Xl", "-flw",
  };
  for (const std::string& word : refused) {
    StationOptions o;
    std::string why = parse({"-p", "1", word, "4", "box.pad"}, &o);
    EXPECT_TRUE(o.refused) << word;
    EXPECT_EQ(why.rfind(word + ":", 0), 0u) << why;
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
      {"{" + t + R"("event":"progress","percent":42,"bytes":42,"total":100})",
       EventKind::kProgress, "open", "23.0", 921600, 42},
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
              R"("error":"error updating image","box_error":"ERROR: flash 3"}})",
              &f);
  EXPECT_EQ(f.result, RunResult::kFailed);
  EXPECT_EQ(failure_cause(f), "ERROR: flash 3");
}

// Runs in a row on one slot: what each counts as and when the slot parks.
TEST(StationSlots, CountsParkingAndExitCode) {
  auto end = [](const char* result, const char* error) {
    RunState r;
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
  } steps[] = {
      {end("ok", ""), 0, 1, 0, false, "p: ok in"},
      {end("stopped", "stopped"), 1, 1, 0, false, "p: stopped, no box"},
      {stopped_in_transfer, 1, 1, 1, false, "p: failed: Stopped by SIGTERM during download."},
      {end("failed", "Time out"), 1, 1, 2, false, "p: failed: Time out"},
      // An ok record with exit code 1 is no success.
      {end("ok", ""), 1, 1, 3, false, "p: failed: update ended with exit code 1"},
      {RunState(), -1, 1, 4, true, "p: failed: update ended without a record (killed)"},
  };
  Station st;
  st.max_failures = 4;
  st.slots.resize(1);
  st.slots[0].port = "p";
  for (const Step& s : steps) {
    std::string line = finish_run(&st, 0, s.r, s.exit_code);
    EXPECT_EQ(line.rfind(s.line, 0), 0u) << line;
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
  EXPECT_EQ(r["error"], "update ended without a record (killed); its standard error: "
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
