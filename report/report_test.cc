#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "store/filter.h"
#include "report/input.h"
#include "report/keyset.h"
#include "report/options.h"
#include "report/output.h"
#include "store/record.h"
#include "report/summary.h"
#include "store/tally.h"

namespace {

// A line with the parser's padding behind it, as the journal reader hands
// lines over.
struct Padded {
  std::string buf;
  explicit Padded(const std::string& line) : buf(line + std::string(kLinePadding, ' ')) {}
  std::string_view line() const { return std::string_view(buf.data(), buf.size() - kLinePadding); }
};

struct ParseCase {
  const char* name;
  std::string line;
  bool ok;
  const char* station = "";
  const char* port = "";
  const char* cause = "";
  const char* detail = "";
};

const std::string kOk =
    R"({"time":"2026-12-08T03:24:21.147Z","port":3,"seconds":1.5,"result":"ok","box_version":"23.0"})";

TEST(ReportRecord, ReadsTheFieldsAndRefusesWhatIsNoRecord) {
  const ParseCase cases[] = {
      {"plain ok, no station", kOk, true, "-", "3", ""},
      {"station and path port",
       R"({"time":"2026-12-08T03:24:21.147Z","station":"s1","port":"/dev/ttyUSB0","result":"ok"})",
       true, "s1", "/dev/ttyUSB0", ""},
      {"box line wins",
       R"({"time":"2026-12-08T03:24:21.147Z","result":"failed","error":"Error code (WF): 0x 20000007","box_error":"ERROR: bad flash"})",
       true, "-", "-", "ERROR: bad flash"},
      {"the detail of a failure",
       R"({"time":"2026-12-08T03:24:21.147Z","result":"failed","error":"Time out ","error_detail":"time-out"})",
       true, "-", "-", "Time out ", "time-out"},
      {"no detail counted for a success",
       R"({"time":"2026-12-08T03:24:21.147Z","result":"ok","error_detail":"time-out"})", true, "-",
       "-", "", ""},
      {"null box line: the error",
       R"({"time":"2026-12-08T03:24:21.147Z","result":"failed","error":"Time out ","box_error":null})",
       true, "-", "-", "Time out "},
      {"empty box line and station: the error, station -",
       R"({"time":"2026-12-08T03:24:21.147Z","station":"","result":"failed","error":"Time out ","box_error":""})",
       true, "-", "-", "Time out "},
      {"escaped text",
       R"({"time":"2026-12-08T03:24:21.147Z","result":"failed","error":"a\u00e9\"b"})", true, "-",
       "-", "a\xc3\xa9\"b"},
      {"not JSON", "hello", false},
      {"not an object", R"(["time","result"])", false},
      {"number for a string", R"({"time":"2026-12-08T03:24:21.147Z","result":"ok","station":7})",
       false},
      {"string for seconds", R"({"time":"2026-12-08T03:24:21.147Z","result":"ok","seconds":"1"})",
       false},
      {"cut off", kOk.substr(0, 50), false},
      {"invalid UTF-8",
       R"({"time":"2026-12-08T03:24:21.147Z","result":"ok","file":")"
       "\xff\xfe"
       R"("})",
       false},
      {"two objects", kOk + kOk, false},
      {"broken value in a field not counted",
       R"({"time":"2026-12-08T03:24:21.147Z","result":"ok","patched":fals})", false},
      {"broken number in a field not counted",
       R"({"time":"2026-12-08T03:24:21.147Z","result":"ok","file_size":1-2})", false},
      {"unknown result", R"({"time":"2026-12-08T03:24:21.147Z","result":"maybe"})", false},
      {"no time", R"({"result":"ok"})", false},
      {"time of another shape", R"({"time":"yesterday","result":"ok"})", false},
      {"whole seconds, no fraction", R"({"time":"2026-12-08T03:24:21Z","result":"ok","port":0})",
       true, "-", "0", ""},
      {"leap day", R"({"time":"2028-02-29T23:59:59.999Z","result":"ok"})", true, "-", "-", ""},
      // Values no run writes: not records.
      {"time out of range", R"({"time":"9999-99-99T99:99:99.999Z","result":"ok"})", false},
      {"no leap day", R"({"time":"2026-02-29T00:00:00.000Z","result":"ok"})", false},
      {"hour 24", R"({"time":"2026-12-08T24:00:00.000Z","result":"ok"})", false},
      {"text after the time", R"({"time":"2026-12-08T03:24:21.147Zjunk","result":"ok"})", false},
      {"seconds huge", R"({"time":"2026-12-08T03:24:21.147Z","result":"ok","seconds":1e308})",
       false},
      {"seconds negative", R"({"time":"2026-12-08T03:24:21.147Z","result":"ok","seconds":-5})",
       false},
      {"port negative", R"({"time":"2026-12-08T03:24:21.147Z","result":"ok","port":-1})", false},
      {"result twice", R"({"time":"2026-12-08T03:24:21.147Z","result":"failed","result":"ok"})",
       false},
      {"field not counted twice",
       R"({"time":"2026-12-08T03:24:21.147Z","result":"ok","tool":"a","tool":"b"})", false},
  };
  RecordParser* p = record_parser_new();
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    Padded in(c.line);
    Record r;
    bool ok = record_parse(p, in.line(), &r);
    ASSERT_EQ(ok, c.ok);
    if (!ok) continue;
    EXPECT_EQ(r.station, c.station);
    EXPECT_EQ(r.port, c.port);
    EXPECT_EQ(r.cause, c.cause);
    EXPECT_EQ(r.error_detail, c.detail);
  }
  record_parser_free(p);
}

TEST(ReportRecord, KeyIsTheAttemptElseTheWholeLine) {
  RecordParser* p = record_parser_new();
  auto key = [&](const std::string& line) {
    Padded in(line);
    Record r;
    EXPECT_TRUE(record_parse(p, in.line(), &r)) << line;
    return r.key;
  };
  const std::string a1 =
      R"({"time":"2026-12-08T03:24:21.147Z","result":"ok","attempt":"0123456789abcdef0123456789abcdef"})";
  const std::string a1_other =
      R"({"attempt":"0123456789abcdef0123456789abcdef","time":"2026-12-08T04:00:00.000Z","result":"failed"})";
  const std::string a2 =
      R"({"time":"2026-12-08T03:24:21.147Z","result":"ok","attempt":"0123456789abcdef0123456789abcdee"})";
  EXPECT_EQ(key(a1), key(a1_other));
  EXPECT_FALSE(key(a1) == key(a2));
  EXPECT_EQ(record_key_text(key(a1)), "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(key(kOk), key(kOk));
  std::string kOk2 = kOk;
  kOk2[kOk2.find("1.5")] = '2';
  EXPECT_FALSE(key(kOk) == key(kOk2));
  record_parser_free(p);
}

TEST(ReportFilter, BoundsAreInclusiveInEveryForm) {
  struct Case {
    const char* since;
    const char* until;
    const char* time;
    bool in;
  } cases[] = {
      {"2026-12-08", "", "2026-12-08T00:00:00.000Z", true},
      {"2026-12-08", "", "2026-12-07T23:59:59.999Z", false},
      {"", "2026-12-08", "2026-12-08T23:59:59.999Z", true},
      {"", "2026-12-08", "2026-12-09T00:00:00.000Z", false},
      {"2026-12-08T03:24:21.147Z", "2026-12-08T03:24:21.147Z", "2026-12-08T03:24:21.147Z", true},
      {"2026-12-08T03:24:21.148Z", "", "2026-12-08T03:24:21.147Z", false},
      {"", "2026-12-08T03:24:21Z", "2026-12-08T03:24:21.999Z", true},
      {"", "2026-12-08T03:24:21", "2026-12-08T03:24:22.000Z", false},
      {"2026-12-08T03", "2026-12-08T03", "2026-12-08T03:59:59.999Z", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.since) + " .. " + c.until + " : " + c.time);
    Filter f;
    if (*c.since) {
      ASSERT_TRUE(filter_parse_time(c.since, &f.since));
    }
    if (*c.until) {
      ASSERT_TRUE(filter_parse_time(c.until, &f.until));
    }
    EXPECT_EQ(filter_accepts(f, c.time, "-"), c.in);
  }
  std::string out;
  for (const char* bad :
       {"2026-12-8", "2026-12-08 03:00", "today", "2026-12-08T03:2", "2026-12-08T03:24:21."})
    EXPECT_FALSE(filter_parse_time(bad, &out)) << bad;
  Filter f;
  f.stations = {"a", "-"};
  EXPECT_TRUE(filter_accepts(f, "2026-12-08T00:00:00Z", "-"));
  EXPECT_FALSE(filter_accepts(f, "2026-12-08T00:00:00Z", "b"));
}

// Records as (station, port, result letter, cause, hour, seconds).
struct Rec {
  const char* station;
  const char* port;
  char result;  // o ok, f failed, s stopped
  const char* cause;
  const char* time;
  double seconds;
  const char* detail = "";
};

Summary summary_of(const std::vector<Rec>& recs) {
  Tally t;
  for (const Rec& x : recs) {
    Record r;
    r.station = x.station;
    r.port = x.port;
    r.result = x.result == 'o' ? kResultOk : x.result == 'f' ? kResultFailed : kResultStopped;
    r.cause = x.cause;
    r.time = x.time;
    r.seconds = x.seconds;
    r.error_detail = x.detail;
    tally_add(&t, r);
  }
  return summarize(t);
}

TEST(ReportTally, CountsYieldPaceCausesAndRuns) {
  const char* h3 = "2026-12-08T03:10:00.000Z";
  const char* h5 = "2026-12-08T05:10:00.000Z";
  Summary s = summary_of({
      {"a", "2", 'o', "", h3, 10},
      {"a", "2", 'f', "x", h3, 0},
      {"a", "2", 's', "", h3, 0},  // a stop does not end a run of failures
      {"a", "2", 'f', "y", h3, 0},
      {"a", "2", 'f', "x", h5, 0},
      {"a", "2", 'o', "", h5, 20},
      {"a", "2", 'f', "x", h5, 0},
      {"a", "10", 'o', "", h5, 30},
      {"-", "2", 'o', "", h5, 30},
  });
  EXPECT_EQ(attempts(s.totals), 8);
  EXPECT_EQ(s.totals.ok, 4);
  EXPECT_EQ(s.totals.failed, 4);
  EXPECT_EQ(s.totals.stopped, 1);
  EXPECT_DOUBLE_EQ(s.yield, 0.5);
  EXPECT_DOUBLE_EQ(s.boxes_per_hour, 2.0);  // 4 good boxes over the 2 hours with records
  EXPECT_DOUBLE_EQ(s.mean_good_seconds, 22.5);
  EXPECT_EQ(s.first, "2026-12-08T03:10:00.000Z");
  ASSERT_EQ(s.ports.size(), 3u);
  // Stations by name ("-" first), ports by number within a station.
  EXPECT_EQ(s.ports[0].label, "-");
  EXPECT_EQ(s.ports[1].label2, "2");
  EXPECT_EQ(s.ports[2].label2, "10");
  EXPECT_EQ(s.ports[1].longest, 3);
  ASSERT_EQ(s.causes.size(), 2u);
  EXPECT_EQ(s.causes[0].cause, "x");
  EXPECT_EQ(s.causes[0].count, 3);
  EXPECT_DOUBLE_EQ(s.causes[0].share, 0.75);
  EXPECT_DOUBLE_EQ(s.causes[1].running, 1.0);
  ASSERT_EQ(s.hours.size(), 2u);
  EXPECT_EQ(s.hours[1].counts.ok, 3);
}

// A cause's details: the most frequent first, ties by text, the rest
// counted together; failures without one count for the cause only.
TEST(ReportTally, CausesKeepTheirMostFrequentDetails) {
  const char* h = "2026-12-08T03:10:00.000Z";
  struct Case {
    const char* name;
    std::vector<Rec> recs;
    const char* text;  // the first cause's details as the outputs show them
    bool any;
  } cases[] = {
      {"none", {{"a", "1", 'f', "x", h, 0}, {"a", "1", 'o', "", h, 1}}, "", false},
      {"one",
       {{"a", "1", 'f', "x", h, 0, "time-out"}, {"a", "1", 'f', "x", h, 0}},
       "time-out (1)",
       true},
      {"most first, then by text, the rest together",
       {{"a", "1", 'f', "x", h, 0, "too short"},
        {"a", "1", 'f', "x", h, 0, "checksum"},
        {"a", "1", 'f', "x", h, 0, "size field"},
        {"a", "1", 'f', "x", h, 0, "checksum"},
        {"a", "1", 'f', "x", h, 0, "format code 9"},
        {"a", "1", 'f', "y", h, 0, "Input/output error"}},
       "checksum (2), format code 9 (1), size field (1), 1 other (1)",
       true},
      {"others counted by their failures",
       {{"a", "1", 'f', "x", h, 0, "a"},
        {"a", "1", 'f', "x", h, 0, "a"},
        {"a", "1", 'f', "x", h, 0, "b"},
        {"a", "1", 'f', "x", h, 0, "c"},
        {"a", "1", 'f', "x", h, 0, "d"},
        {"a", "1", 'f', "x", h, 0, "e"},
        {"a", "1", 'f', "x", h, 0, "e"}},
       "a (2), e (2), b (1), 2 others (2)",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Summary s = summary_of(c.recs);
    ASSERT_FALSE(s.causes.empty());
    EXPECT_EQ(s.causes[0].cause, "x");
    EXPECT_EQ(details_text(s.causes[0]), c.text);
    EXPECT_EQ(s.cause_details, c.any);
    for (const CauseRow& r : s.causes) {
      if (r.cause == "y") {
        EXPECT_EQ(details_text(r), "Input/output error (1)");
      }
    }
  }
}

TEST(ReportTally, UnitsByTheirFirstAndLastAttemptInTime) {
  // (unit, result, time): journals may hold a unit's attempts out of time
  // order (two stations); a stop is no attempt; a record without a unit
  // counts for no unit.
  struct U {
    const char* unit;
    char result;
    const char* time;
  } recs[] = {
      {"A", 'o', "2026-12-08T03:00:00Z"},  // good at once
      {"B", 'o', "2026-12-08T03:30:00Z"},  // failed, then good
      {"B", 'f', "2026-12-08T03:10:00Z"}, {"C", 's', "2026-12-08T03:00:00Z"},
      {"C", 'f', "2026-12-08T03:05:00Z"},  // failed three times, then good, then failed
      {"C", 'f', "2026-12-08T03:06:00Z"}, {"C", 'o', "2026-12-08T03:07:00Z"},
      {"C", 'f', "2026-12-08T03:01:00Z"}, {"C", 'f', "2026-12-08T03:08:00Z"},
      {"", 'f', "2026-12-08T03:09:00Z"},
  };
  Tally t;
  for (const U& x : recs) {
    Record r;
    r.unit = x.unit;
    r.time = x.time;
    r.result = x.result == 'o' ? kResultOk : x.result == 'f' ? kResultFailed : kResultStopped;
    tally_add(&t, r);
  }
  Summary s = summarize(t);
  const UnitSummary& u = s.units;
  EXPECT_EQ(u.units, 3);
  EXPECT_EQ(u.first_pass, 1);  // A
  EXPECT_EQ(u.final_good, 2);  // A, B
  EXPECT_EQ(u.retested, 2);
  EXPECT_EQ(u.retests, 1 + 4);
  EXPECT_DOUBLE_EQ(u.final_yield, 2.0 / 3);
  ASSERT_EQ(u.most_attempts.size(), 2u);
  EXPECT_EQ(u.most_attempts[0].unit, "C");
  EXPECT_EQ(u.most_attempts[0].attempts, 5);
  EXPECT_EQ(u.most_attempts[0].last, kResultFailed);
  EXPECT_EQ(u.most_attempts[1].unit, "B");
}

TEST(ReportKeySet, EachKeyOnceThroughGrowthAndKeysSpreadHoweverTheyDiffer) {
  // Keys as attempt ids may be written: spread, differing only in the
  // high bits of either half, and the two smallest ids (all zeros is a
  // key like any other).
  struct Case {
    const char* name;
    RecordKey (*key)(uint64_t i);
    uint64_t n;
  } cases[] = {
      {"spread",
       [](uint64_t i) {
         return RecordKey{i * 0x9e3779b97f4a7c15ULL, i};
       },
       5000},
      {"high bits of the first half",
       [](uint64_t i) {
         return RecordKey{i << 40, 7};
       },
       120000},
      {"high bits of the second half",
       [](uint64_t i) {
         return RecordKey{0, i << 44};
       },
       120000},
      {"zero and one",
       [](uint64_t i) {
         return RecordKey{0, i};
       },
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KeySet s;
    for (uint64_t i = 0; i < c.n; ++i) ASSERT_TRUE(keyset_insert(&s, c.key(i))) << i;
    for (uint64_t i = 0; i < c.n; ++i) ASSERT_FALSE(keyset_insert(&s, c.key(i))) << i;
    // Clustered keys would look at thousands of slots each.
    EXPECT_LT(s.probes, 2 * c.n * 4);
  }
}

struct Lines {
  std::vector<std::pair<std::string, bool>> got;
};

void collect(void* ctx, std::string_view line, bool complete) {
  static_cast<Lines*>(ctx)->got.emplace_back(std::string(line), complete);
}

TEST(ReportJournal, LinesWholeAcrossBuffersAndTheCutOffLastOne) {
  std::string big(kMaxLine, 'x');  // longer than one read, the longest taken
  std::string text = "a\r\n\n" + big + "\nbc\nhalf";
  std::FILE* f = std::tmpfile();
  ASSERT_TRUE(f);
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  Lines l;
  JournalRead r = journal_read(f, 0, collect, &l);
  std::fclose(f);
  EXPECT_EQ(r.error, 0);
  ASSERT_EQ(l.got.size(), 4u);
  EXPECT_EQ(l.got[0], std::make_pair(std::string("a"), true));
  EXPECT_EQ(l.got[1].first.size(), big.size());
  EXPECT_EQ(l.got[2], std::make_pair(std::string("bc"), true));
  EXPECT_EQ(l.got[3], std::make_pair(std::string("half"), false));
  EXPECT_EQ(r.end, text.size() - 4);
}

TEST(ReportJournal, LinesOverTheLimitAreSkippedAndCounted) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> lines;
    int64_t too_long;
  } cases[] = {
      {"one byte over", "a\n" + std::string(kMaxLine + 1, 'y') + "\nb\n", {"a", "b"}, 1},
      {"several reads long",
       std::string(5 * kMaxLine, 'y') + "\nb\n" + std::string(kMaxLine + 9, 'z') + "\nc\n",
       {"b", "c"},
       2},
      {"long and cut off", "a\n" + std::string(3 * kMaxLine, 'y'), {"a"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::FILE* f = std::tmpfile();
    ASSERT_TRUE(f);
    std::fwrite(c.text.data(), 1, c.text.size(), f);
    std::rewind(f);
    Lines l;
    JournalRead r = journal_read(f, 0, collect, &l);
    std::fclose(f);
    std::vector<std::string> got;
    for (const auto& [line, complete] : l.got) got.push_back(line);
    EXPECT_EQ(got, c.lines);
    EXPECT_EQ(r.too_long, c.too_long);
  }
}

TEST(ReportOptions, UsageErrors) {
  struct Case {
    std::vector<const char*> args;
    bool ok;
  } cases[] = {
      {{"j.jsonl"}, true},
      {{"--db", "s.db"}, true},
      {{"--json", "--station", "a", "--station=b", "--since", "2026-12-08", "-"}, true},
      {{}, false},
      {{"--since", "tomorrow", "j"}, false},
      {{"--until"}, false},
      {{"--html", "", "j"}, false},
      {{"--bogus", "j"}, false},
      {{"-x", "j"}, false},
      {{"--json=1", "j"}, false},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv{const_cast<char*>("update-report")};
    for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
    Options o;
    bool help;
    std::string err;
    EXPECT_EQ(options_parse(static_cast<int>(argv.size()), argv.data(), &o, &help, &err), c.ok)
        << (c.args.empty() ? "(none)" : c.args[0]) << ": " << err;
  }
}

}  // namespace
