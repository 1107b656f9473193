#include "tools/boxsim/report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::string box_stats(const Box& b) {
  char buf[160];
  snprintf(buf, sizeof buf, "received %zu bytes blocks %d naks %d speed %u keywords %d",
           b.data.size(), b.blocks, b.naks, b.rate_seen, b.keywords);
  return buf;
}

void write_file(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) {
    fprintf(stderr, "boxsim: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return;
  }
  if (!data.empty()) fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

void write_outputs(Report* r, const Config& cfg, const Box& b) {
  if (cfg.out_path.empty() || !b.reached_download) return;
  write_file(cfg.out_path, b.data);
  r->out_file_written = true;
  if (cfg.boxes > 1) write_file(cfg.out_path + "." + std::to_string(b.number), b.data);
}

bool is_filler(const std::string& d) {
  if (d.size() != 512) return false;
  static const unsigned char kHead[4] = {0x00, 0x00, 0x01, 0x91};
  for (size_t i = 0; i < 400; ++i) {
    unsigned char want = i < 4 ? kHead[i] : 0x01;
    if (static_cast<unsigned char>(d[i]) != want) return false;
  }
  return true;
}

}  // namespace

Verdict judge_box(const Config& cfg, const Box& b) {
  bool filler = is_filler(b.data);
  if (!b.fail.empty()) return {false, "FAIL " + b.fail, filler};
  if (b.blocks == 0) return {false, "FAIL no data", false};
  if (cfg.expect_filler) {
    if (filler) return {true, "FILLER", true};
    return {false, "FAIL no filler block", false};
  }
  // After the filler the tool stops: no further box will come.
  if (filler) return {false, "FAIL filler block received", true};
  if (cfg.have_expect) {
    std::string want = cfg.expect_data;
    if (cfg.ack_early) want.erase(0, std::min(want.size(), kPayload));  // block 1 skipped
    size_t padded = (want.size() + kPayload - 1) / kPayload * kPayload;
    if (b.data.size() != padded)
      return {
          false,
          "FAIL length " + std::to_string(b.data.size()) + " expected " + std::to_string(padded),
          false};
    if (b.data.compare(0, want.size(), want) != 0) {
      size_t i = 0;
      while (b.data[i] == want[i]) ++i;
      return {false, "FAIL content differs at byte " + std::to_string(i), false};
    }
  }
  return {true, "OK", false};
}

std::string report_box(Report* r, const Config& cfg, const Box& b, bool ok,
                       const std::string& verdict) {
  // Built up in steps: GCC 12 warns falsely (-Wrestrict) on the chained +.
  std::string line = "BOX ";
  line += std::to_string(b.number);
  line += ' ';
  line += verdict;
  const std::string stats = box_stats(b);
  line += ok ? " " : " (";
  line += stats;
  if (!ok) line += ')';
  r->summary.push_back(line);
  if (ok) r->boxes_ok++;
  write_outputs(r, cfg, b);
  return line;
}

void report_unreached(Report* r, const Config& cfg, int first) {
  for (int n = first; n <= cfg.boxes; ++n)
    r->summary.push_back("BOX " + std::to_string(n) + " FAIL not reached");
}

int report_end(Report* r, const Config& cfg, int code) {
  if (!cfg.out_path.empty() && !r->out_file_written) write_file(cfg.out_path, "");
  for (const auto& line : r->summary) printf("%s\n", line.c_str());
  bool ok = code == 0 && r->boxes_ok == cfg.boxes;
  printf("RESULT %s\n", ok ? "OK" : "FAIL");
  fflush(stdout);
  return code == 0 && !ok ? 1 : code;
}
