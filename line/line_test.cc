// The hub's pure parts: the stations file, station URLs, the event stream
// parser, what the board reads of a record, and the board's counts and
// alarms over an injected clock.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "line/board.h"
#include "line/client.h"
#include "line/stations.h"
#include "line/store_link.h"

namespace {

TEST(LineStations, FileReadInOrderAndRefusedLines) {
  std::vector<std::pair<std::string, std::string>> list;
  EXPECT_EQ(stations_parse("# the line\n line3-a  http://10.0.3.11:8080 # first\r\n\n"
                           "line3-b\thttp://[::1]:81/\nline3-c http://host.local\n",
                           &list),
            "");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], (std::pair<std::string, std::string>{"line3-a", "http://10.0.3.11:8080"}));
  EXPECT_EQ(list[1].first, "line3-b");
  struct Bad {
    const char* text;
    const char* why;
  } bad[] = {
      {"a http://h:1\nb\n", "line 2: not NAME URL"},
      {"a http://h:1 extra\n", "line 1: not NAME URL"},
      {"a http://h:1\na http://h:2\n", "line 2: a is named twice"},
      {"a https://h:1\n", "line 1: https://h:1: not an http:// URL"},
      {"a http://h:0\n", "line 1: http://h:0: not a port"},
      {"a http://h:99999\n", "line 1: http://h:99999: not a port"},
      {"a http://[::1\n", "line 1: http://[::1: an IPv6 address without its ']'"},
      {"a http://:80\n", "line 1: http://:80: no host"},
      {"a\"b http://h\n", "line 1: a name with '\"'"},
  };
  for (const Bad& b : bad) {
    std::vector<std::pair<std::string, std::string>> out = {{"kept", "x"}};
    EXPECT_EQ(stations_parse(b.text, &out), b.why) << b.text;
    EXPECT_EQ(out.size(), 1u) << "a refused file changes nothing";
  }
  ClientUrl u;
  ASSERT_EQ(client_parse_url("http://[::1]:8081/st/7/", &u), "");
  EXPECT_EQ(u.host, "::1");
  EXPECT_EQ(u.port, 8081);
  EXPECT_EQ(u.base, "/st/7");
}

// Events split anywhere across reads; comments and unnamed events; one
// that passes the bound ends the stream.
TEST(LineEvents, ParserJoinsReadsAndBoundsEvents) {
  std::string stream =
      "retry: 2000\n\n: ping\n\nevent: status\ndata: {\"a\":1}\n\nevent: attempt\r\ndata: x\r\n"
      "data: y\r\n\r\ndata: plain\n\n";
  for (size_t cut = 0; cut <= stream.size(); cut++) {
    SseParser p;
    std::vector<ClientEvent> got;
    auto on = [&](const ClientEvent& e) { got.push_back(e); };
    ASSERT_TRUE(sse_feed(&p, std::string_view(stream).substr(0, cut), 1000, on));
    ASSERT_TRUE(sse_feed(&p, std::string_view(stream).substr(cut), 1000, on));
    ASSERT_EQ(got.size(), 3u) << cut;
    EXPECT_EQ(got[0].event, "status");
    EXPECT_EQ(got[0].data, "{\"a\":1}");
    EXPECT_EQ(got[1].event, "attempt");
    EXPECT_EQ(got[1].data, "x\ny");
    EXPECT_EQ(got[2].event, "message");
  }
  SseParser p;
  EXPECT_FALSE(sse_feed(&p, "data: " + std::string(2000, 'z'), 1000, [](const ClientEvent&) {}));
}

// A station's journal answer: records kept byte for byte (numbers and
// escapes as written), the cursor and "more"; an answer that is not one
// is refused whole.
TEST(LineJournal, PageKeepsRecordsAsWrittenAndRefusesOtherAnswers) {
  JournalPage page;
  std::string body =
      " {\"records\": [{\"seconds\":14.100,\"e\":\"a\\\"}]\\u00e9\",\"n\":[1,{\"x\":[]}]} ,"
      "\"not json\",{}],\"next\":\"j1-1-2-3-40\",\"more\":true}\n";
  ASSERT_TRUE(client_journal_page(body, &page));
  ASSERT_EQ(page.records.size(), 3u);
  EXPECT_EQ(page.records[0], "{\"seconds\":14.100,\"e\":\"a\\\"}]\\u00e9\",\"n\":[1,{\"x\":[]}]}");
  EXPECT_EQ(page.records[1], "\"not json\"");
  EXPECT_EQ(page.records[2], "{}");
  EXPECT_EQ(page.next, "j1-1-2-3-40");
  EXPECT_TRUE(page.more);
  ASSERT_TRUE(client_journal_page("{\"more\":false,\"x\":{\"y\":[1]},\"next\":\"\",\"records\":[]}",
                                  &page));
  EXPECT_TRUE(page.records.empty());
  EXPECT_FALSE(page.more);
  const char* bad[] = {
      "",
      "[]",
      "{}",
      "{\"records\":[],\"next\":\"c\"}",                                // no more
      "{\"records\":[{}],\"more\":false}",                              // no next
      "{\"records\":{},\"next\":\"c\",\"more\":false}",                 // not an array
      "{\"records\":[{\"a\":[1}]],\"next\":\"c\",\"more\":false}",      // brackets crossed
      "{\"records\":[{\"a\":\"1}],\"next\":\"c\",\"more\":false}",      // a string never ends
      "{\"records\":[{},],\"next\":\"c\",\"more\":false}",              // a comma too many
      "{\"records\":[{} {}],\"next\":\"c\",\"more\":false}",            // a comma missing
      "{\"records\":[],\"next\":7,\"more\":false}",                     // next not text
      "{\"records\":[],\"next\":\"a\\u0026b\",\"more\":false}",         // next escaped
      "{\"records\":[],\"next\":\"c\",\"more\":1}",                     // more not a bool
      "{\"records\":[],\"records\":[],\"next\":\"c\",\"more\":false}",  // records twice
      "{\"records\":[],\"next\":\"c\",\"more\":false} x",               // text after it
      "{\"records\":[],\"next\":\"c\",\"more\":false",                  // cut short
  };
  for (const char* b : bad) EXPECT_FALSE(client_journal_page(b, &page)) << b;
}

// What the board reads of each journal line, on the hub's loop while the
// writer's thread reads others: a record's result, cause and attempt as
// the store reads them; lines that are no record left out.
TEST(LineRecords, TheBoardsFieldsOfEachRecordOnAnyThread) {
  const std::string a = "0123456789abcdef0123456789abcdef";
  struct Case {
    std::string line;
    bool record;
    std::string result, cause;
  } cases[] = {
      {"{\"time\":\"2026-12-08T06:00:01.000Z\",\"station\":\"s1\",\"result\":\"ok\","
       "\"file_version\":\"23.0\",\"error\":null,\"attempt\":\"" +
           a + "\"}",
       true, "ok", ""},
      {"{\"time\":\"2026-12-08T06:00:02.000Z\",\"station\":\"s1\",\"result\":\"failed\","
       "\"file_version\":\"23.0\",\"error\":\"Time out \",\"box_error\":\"bad flash id\","
       "\"attempt\":\"" +
           a + "\"}",
       true, "failed", "bad flash id"},
      {"{\"time\":\"2026-12-08T06:00:03.000Z\",\"station\":\"s1\",\"result\":\"stopped\","
       "\"file_version\":\"23.0\",\"error\":\"Stopped\",\"attempt\":\"" +
           a + "\"}",
       true, "stopped", ""},
      {"\"not a record\"", false, "", ""},
      {"{\"time\":\"2026-12-08T06:00:04.000Z\"", false, "", ""},
  };
  std::vector<std::string> lines;
  std::vector<const Case*> want;
  for (const Case& c : cases) {
    lines.push_back(c.line);
    if (c.record) want.push_back(&c);
  }
  auto read = [&](std::vector<StoredRecord>* out) {
    for (int i = 0; i < 2000; ++i)
      line_records(lines, [&](const StoredRecord& r) { out->push_back(r); });
  };
  std::vector<StoredRecord> here, there;
  std::thread other(read, &there);
  read(&here);
  other.join();
  for (const std::vector<StoredRecord>* got : {&here, &there}) {
    ASSERT_EQ(got->size(), 2000 * want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      const StoredRecord& r = (*got)[i];
      SCOPED_TRACE(want[i]->line);
      EXPECT_EQ(r.result, want[i]->result);
      EXPECT_EQ(r.cause, want[i]->cause);
      EXPECT_EQ(r.station, "s1");
      EXPECT_EQ(r.file_version, "23.0");
      EXPECT_EQ(r.attempt, a);
    }
  }
}

std::string t(double at) { return board_time_text(at); }

// The board over a made-up clock: times read and written, the shift's
// start in local time, and each alarm opened and cleared when it should.
TEST(LineBoard, CountsShiftAndAlarms) {
  double at = 0;
  ASSERT_TRUE(board_parse_time("2026-12-09T07:30:15.250Z", &at));
  EXPECT_EQ(t(at), "2026-12-09T07:30:15.250Z");
  for (const char* bad : {"2026-12-09 07:30:15Z", "2026-13-09T07:30:15Z", "2026-12-09T07:30:15"})
    EXPECT_FALSE(board_parse_time(bad, &at)) << bad;

  Board b;
  b.config.shift_minutes = 6 * 60;
  b.config.utc_offset_minutes = 60;  // local time one hour ahead
  double now;
  ASSERT_TRUE(board_parse_time("2026-12-09T07:30:00.000Z", &now));  // 08:30 local
  EXPECT_EQ(t(board_shift_start(b, now)), "2026-12-09T05:00:00.000Z");
  ASSERT_TRUE(board_parse_time("2026-12-09T04:30:00.000Z", &at));  // 05:30 local: yesterday's
  EXPECT_EQ(t(board_shift_start(b, at)), "2026-12-08T05:00:00.000Z");

  board_set_stations(&b, {{"a", "http://127.0.0.1:1"}, {"b", "http://127.0.0.1:2"}}, now - 100);
  BoardStation* a = board_station(&b, "a");
  BoardStation* s2 = board_station(&b, "b");
  board_link(&b, a, true, now - 100);
  // b never came up: offline past 60 s. a: 15 good and 5 bad this hour
  // (75 %), 4 of those "no box" and the 10 others across the line.
  for (int i = 0; i < 15; i++) board_record(&b, a, t(now - 600 + i), "ok", "", "3.3.0");
  for (int i = 0; i < 5; i++) board_record(&b, a, t(now - 300 + i), "failed", "no box", "");
  for (int i = 0; i < 5; i++) board_record(&b, s2, t(now - 200 + i), "failed", "no box", "");
  board_record(&b, a, t(now - 7200), "failed", "old", "");  // before the hour, in the shift
  board_record(&b, a, t(now - 5 * 3600), "ok", "", "");     // before the shift
  board_status(&b, a,
               {{"file_version", "23.0"},
                {"slots",
                 {{{"slot", 1}, {"state", "parked"}, {"port", "/dev/ttyUSB0"}},
                  {{"slot", 2}, {"state", "download"}, {"streak", 2}}}}});
  std::vector<Alarm> opened = board_alarms(&b, now);
  std::vector<std::string> ids;
  for (const Alarm& x : b.open) ids.push_back(x.id);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"cause no box", "offline b", "parked a 1", "yield a",
                                           "yield line"}));
  EXPECT_EQ(opened.size(), 5u);
  EXPECT_TRUE(board_alarms(&b, now + 1).empty()) << "still open: nothing changes";

  nlohmann::ordered_json j = board_json(b, now);
  EXPECT_EQ(j["shift"]["ok"], 15);
  EXPECT_EQ(j["shift"]["failed"], 11);
  EXPECT_EQ(j["hour"]["failed"], 10);
  EXPECT_EQ(j["stations"][0]["hour"]["yield"], 75.0);
  EXPECT_EQ(j["stations"][0]["shift"]["top_cause"], "no box");
  EXPECT_EQ(j["stations"][0]["file_version"], "23.0");
  EXPECT_EQ(j["stations"][0]["slots"]["parked"], 1);
  EXPECT_EQ(j["stations"][0]["slots"]["running"], 1);
  EXPECT_EQ(j["stations"][0]["slots"]["failing"], 1);
  EXPECT_EQ(j["causes"]["hour"][0]["count"], 10);

  // b comes up, the park ends, the failures age out of ten minutes and
  // the hour: each alarm clears with its time.
  board_link(&b, s2, true, now + 10);
  board_status(&b, a, {{"slots", {{{"slot", 1}, {"state", "waiting"}}}}});
  std::vector<Alarm> cleared = board_alarms(&b, now + 3600);
  EXPECT_EQ(cleared.size(), 5u);
  EXPECT_TRUE(b.open.empty());
  for (const Alarm& x : cleared) EXPECT_EQ(x.cleared, now + 3600) << x.id;
  EXPECT_EQ(board_json(b, now + 3600)["cleared"].size(), 5u);

  // Under 20 attempts no yield alarm, however bad.
  Board few;
  board_set_stations(&few, {{"c", "http://127.0.0.1:3"}}, now);
  board_link(&few, &few.stations[0], true, now);
  for (int i = 0; i < 19; i++) board_record(&few, &few.stations[0], t(now - i), "failed", "x", "");
  for (const Alarm& x : board_alarms(&few, now)) EXPECT_NE(x.kind, "yield") << x.id;

  std::string m = board_metrics(b, now + 3600);
  for (const char* series :
       {"update_line_station_up{station=\"a\"} 1\n", "update_line_station_up{station=\"b\"} 1\n",
        "update_line_alarms{alarm=\"offline\"} 0\n", "# TYPE update_line_records_total counter\n"})
    EXPECT_NE(m.find(series), std::string::npos) << series << m;
}

}  // namespace
