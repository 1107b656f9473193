#include <algorithm>
#include <cmath>
#include <map>

#include "core/html_text.h"
#include "report/output.h"

namespace {

std::string esc(std::string_view s) { return html_text(s); }

std::string num(double v) { return format_fixed(v, 1); }

// Red for a bad yield through amber to green: most lines run above 90%,
// so the scale spends its colours on the top fifth.
std::string yield_colour(double y) {
  double t = std::clamp((y - 0.8) / 0.2, 0.0, 1.0);
  return "hsl(" + std::to_string(static_cast<int>(std::lround(t * 120))) + ",70%,55%)";
}

const char kStyle[] = R"(
body{font-family:sans-serif;margin:24px;color:#222;max-width:1000px}
h1{font-size:20px;margin:0 0 4px}h2{font-size:16px;margin:24px 0 8px}
.totals{display:flex;flex-wrap:wrap;gap:8px 24px;margin:12px 0}
.totals div{min-width:110px}.totals b{display:block;font-size:20px}
table{border-collapse:collapse;font-size:13px;margin:4px 0 12px}
th,td{padding:2px 8px;border-bottom:1px solid #ddd;text-align:right}
th:first-child,td:first-child,td.t,th.t{text-align:left}
svg{max-width:100%;height:auto;font-family:sans-serif}
svg text{font-size:11px;fill:#333}
.muted{color:#777}
section{break-inside:avoid;page-break-inside:avoid}
@page{size:A4;margin:12mm}
@media print{body{margin:0;max-width:none;font-size:10pt}table{font-size:9pt}
 h2{margin-top:12px}a{color:inherit;text-decoration:none}}
)";

// Both bar charts: their size, the margins left, right, top and bottom.
struct Frame {
  int W, H, L, R, T, B;
};
constexpr Frame kBars = {900, 240, 44, 44, 12, 36};

// The bar charts' opening: the svg, the base line, the left scale's top
// (`top`) and the right scale's 100 %.
void chart_frame(std::string& h, const char* id, const char* label, int64_t top) {
  const auto [W, H, L, R, T, B] = kBars;
  h += std::string("<svg id=\"") + id + "\" class=\"chart\" width=\"" + std::to_string(W) +
       "\" viewBox=\"0 0 " + std::to_string(W) + " " + std::to_string(H) +
       "\" role=\"img\" aria-label=\"" + label + "\">";
  h += "<line x1=\"" + std::to_string(L) + "\" y1=\"" + std::to_string(H - B) + "\" x2=\"" +
       std::to_string(W - R) + "\" y2=\"" + std::to_string(H - B) + "\" stroke=\"#999\"/>";
  h += "<text x=\"4\" y=\"" + std::to_string(T + 8) + "\">" + std::to_string(top) + "</text>";
  h += "<text x=\"" + std::to_string(W - R + 6) + "\" y=\"" + std::to_string(T + 8) +
       "\">100%</text>";
}

void hours_chart(std::string& h, const Summary& s) {
  const auto [W, H, L, R, T, B] = kBars;
  int64_t top = 1;
  for (const Row& r : s.hours) top = std::max(top, r.counts.ok);
  size_t n = s.hours.size();
  double step = n ? static_cast<double>(W - L - R) / static_cast<double>(n) : 0;
  chart_frame(h, "hours-chart", "good boxes and yield per hour", top);
  h += "<text x=\"4\" y=\"" + std::to_string(H - B) + "\">0</text>";
  h +=
      "<text x=\"" + std::to_string(W - R + 6) + "\" y=\"" + std::to_string(H - B) + "\">0%</text>";
  std::string line;
  size_t label_every = std::max<size_t>(1, n / 12);
  for (size_t i = 0; i < n; ++i) {
    const Row& r = s.hours[i];
    double x = L + step * static_cast<double>(i);
    double bh = static_cast<double>(r.counts.ok) / static_cast<double>(top) * (H - T - B);
    h += "<rect class=\"bar\" x=\"" + num(x + step * 0.1) + "\" y=\"" + num(H - B - bh) +
         "\" width=\"" + num(step * 0.8) + "\" height=\"" + num(bh) +
         "\" fill=\"#6a9fd8\"><title>" + esc(r.label) + ":00 " + std::to_string(r.counts.ok) +
         " good, yield " + format_percent(yield_of(r.counts)) + "</title></rect>";
    if (attempts(r.counts)) {
      double y = H - B - yield_of(r.counts) * (H - T - B);
      line += (line.empty() ? "" : " ") + num(x + step / 2) + "," + num(y);
    }
    if (i % label_every == 0)
      h += "<text x=\"" + num(x + step / 2) + "\" y=\"" + std::to_string(H - B + 14) +
           "\" text-anchor=\"middle\">" + esc(r.label.substr(5, 5)) + " " +
           esc(r.label.substr(11, 2)) + "h</text>";
  }
  if (!line.empty())
    h += "<polyline points=\"" + line + "\" fill=\"none\" stroke=\"#2a7a2a\" stroke-width=\"2\"/>";
  h += "<text x=\"" + std::to_string(L) + "\" y=\"" + std::to_string(H - 4) +
       "\">bars: good boxes per hour (left scale); line: yield (right scale)</text></svg>";
}

void pareto_chart(std::string& h, const Summary& s) {
  const auto [W, H, L, R, T, B] = kBars;
  size_t n = std::min<size_t>(s.causes.size(), 15);
  int64_t top = n ? s.causes[0].count : 1;
  double step = n ? static_cast<double>(W - L - R) / static_cast<double>(n) : 0;
  chart_frame(h, "pareto-chart", "failure causes", top);
  std::string line;
  for (size_t i = 0; i < n; ++i) {
    const CauseRow& c = s.causes[i];
    double x = L + step * static_cast<double>(i);
    double bh = static_cast<double>(c.count) / static_cast<double>(top) * (H - T - B);
    h += "<rect class=\"bar\" x=\"" + num(x + step * 0.15) + "\" y=\"" + num(H - B - bh) +
         "\" width=\"" + num(step * 0.7) + "\" height=\"" + num(bh) +
         "\" fill=\"#d87a6a\"><title>" + esc(c.cause) + ": " + std::to_string(c.count) +
         "</title></rect>";
    line +=
        (line.empty() ? "" : " ") + num(x + step / 2) + "," + num(H - B - c.running * (H - T - B));
    h += "<text x=\"" + num(x + step / 2) + "\" y=\"" + std::to_string(H - B + 14) +
         "\" text-anchor=\"middle\">#" + std::to_string(i + 1) + "</text>";
  }
  if (!line.empty())
    h += "<polyline points=\"" + line + "\" fill=\"none\" stroke=\"#333\" stroke-width=\"2\"/>";
  h += "<text x=\"" + std::to_string(L) + "\" y=\"" + std::to_string(H - 4) +
       "\">bars: failures per cause (numbered as in the table); line: running share</text></svg>";
}

// One row per station, one cell per port, coloured by the port's yield; a
// port that failed 3 times in a row (the station's default parking limit)
// or more has a thick dark frame and its longest run written in.
void grid_chart(std::string& h, const Summary& s) {
  std::map<std::string, std::vector<const Row*>> by_station;
  for (const Row& r : s.ports) by_station[r.label].push_back(&r);
  size_t cols = 1;
  for (const auto& [st, v] : by_station) cols = std::max(cols, v.size());
  const int label_w = 150, cell = 54, gap = 4;
  int W = label_w + static_cast<int>(cols) * (cell + gap);
  int H = static_cast<int>(by_station.size()) * (cell + gap) + 24;
  h += "<svg id=\"grid-chart\" class=\"chart\" width=\"" + std::to_string(W) + "\" viewBox=\"0 0 " +
       std::to_string(W) + " " + std::to_string(H) +
       "\" role=\"img\" aria-label=\"yield by station and slot\">";
  int y = 0;
  for (const auto& [st, ports] : by_station) {
    h += "<g class=\"station\" data-station=\"" + esc(st) + "\"><text x=\"0\" y=\"" +
         std::to_string(y + cell / 2 + 4) + "\">" +
         esc(st.size() > 22 ? st.substr(0, 21) + "…" : st) + "</text>";
    int x = label_w;
    for (const Row* p : ports) {
      bool streak = p->longest >= 3;
      h += "<rect x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" width=\"" +
           std::to_string(cell) + "\" height=\"" + std::to_string(cell) + "\" rx=\"4\" fill=\"" +
           (attempts(p->counts) ? yield_colour(yield_of(p->counts)) : std::string("#ccc")) + "\"" +
           (streak ? " stroke=\"#000\" stroke-width=\"4\" class=\"streak\"" : "") + "><title>" +
           esc(st) + " port " + esc(p->label2) + ": yield " + format_percent(yield_of(p->counts)) +
           ", longest failure run " + std::to_string(p->longest) + "</title></rect>";
      h += "<text x=\"" + std::to_string(x + cell / 2) + "\" y=\"" + std::to_string(y + 18) +
           "\" text-anchor=\"middle\">" +
           esc(p->label2.size() > 8 ? p->label2.substr(p->label2.size() - 7) : p->label2) +
           "</text>";
      h += "<text x=\"" + std::to_string(x + cell / 2) + "\" y=\"" + std::to_string(y + 34) +
           "\" text-anchor=\"middle\">" +
           (attempts(p->counts) ? format_fixed(yield_of(p->counts) * 100, 0) + "%" : "-") +
           "</text>";
      if (p->longest >= 2)
        h += "<text x=\"" + std::to_string(x + cell / 2) + "\" y=\"" + std::to_string(y + 49) +
             "\" text-anchor=\"middle\">" + std::to_string(p->longest) + "× ✗</text>";
      x += cell + gap;
    }
    h += "</g>";
    y += cell + gap;
  }
  h += "<text x=\"0\" y=\"" + std::to_string(H - 6) +
       "\">colour: yield (red 80% or less, green 100%); frame: 3 or more failures in a "
       "row</text></svg>";
}

void counts_head(std::string& h, std::initializer_list<const char*> first) {
  h += "<tr>";
  for (const char* f : first) h += std::string("<th class=\"t\">") + f + "</th>";
  h += "<th>Attempts</th><th>Ok</th><th>Failed</th><th>Stopped</th><th>Yield</th>";
}

void counts_cells(std::string& h, const Counts& c) {
  h += "<td>" + std::to_string(attempts(c)) + "</td><td>" + std::to_string(c.ok) + "</td><td>" +
       std::to_string(c.failed) + "</td><td>" + std::to_string(c.stopped) + "</td><td>" +
       (attempts(c) ? format_percent(yield_of(c)) : "-") + "</td>";
}

void simple_table(std::string& h, const char* title, const char* head,
                  const std::vector<Row>& rows) {
  h += std::string("<section><h2>") + title + "</h2><table>";
  counts_head(h, {head});
  h += "</tr>";
  for (const Row& r : rows) {
    h += "<tr><td>" + esc(r.label) + "</td>";
    counts_cells(h, r.counts);
    h += "</tr>";
  }
  h += "</table></section>";
}

}  // namespace

bool output_html(const std::string& path, const Summary& s) {
  std::string h;
  h.reserve(1 << 16);
  const Counts& c = s.totals;
  h += "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
       "<meta name=\"viewport\" content=\"width=device-width\"><title>Line report " +
       esc(s.first.substr(0, 10)) + " to " + esc(s.last.substr(0, 10)) + "</title><style>" +
       kStyle + "</style></head><body>";
  h += "<h1>Line report</h1><div class=\"muted\">" + esc(s.first) + " to " + esc(s.last) + " · " +
       std::to_string(s.records) + " records · " + std::to_string(s.stations.size()) + " stations" +
       (s.skipped_lines ? " · " + std::to_string(s.skipped_lines) + " lines skipped" : "") +
       "</div>";
  h += "<div class=\"totals\" id=\"totals\">";
  auto box = [&](const char* name, const std::string& v) {
    h += std::string("<div><b>") + v + "</b>" + name + "</div>";
  };
  box("attempts", std::to_string(attempts(c)));
  box("ok", std::to_string(c.ok));
  box("failed", std::to_string(c.failed));
  box("stopped", std::to_string(c.stopped));
  box("yield", attempts(c) ? format_percent(s.yield) : "-");
  box("boxes per hour", format_fixed(s.boxes_per_hour, 1));
  box("s per good box", format_fixed(s.mean_good_seconds, 1));
  h += "</div>";

  h += "<section><h2>Good boxes and yield per hour</h2>";
  hours_chart(h, s);
  h += "</section><section><h2>Causes of failures</h2>";
  pareto_chart(h, s);
  h += "<table><tr><th>#</th><th class=\"t\">Cause</th>";
  if (s.cause_details) h += "<th class=\"t\">Details</th>";
  h += "<th>Count</th><th>Share</th><th>Running</th></tr>";
  for (size_t i = 0; i < s.causes.size(); ++i) {
    const CauseRow& r = s.causes[i];
    h += "<tr><td>" + std::to_string(i + 1) + "</td><td class=\"t\">" + esc(r.cause) + "</td>";
    if (s.cause_details) h += "<td class=\"t\">" + esc(details_text(r)) + "</td>";
    h += "<td>" + std::to_string(r.count) + "</td><td>" + format_percent(r.share) + "</td><td>" +
         format_percent(r.running) + "</td></tr>";
  }
  h += "</table></section><section><h2>Stations and slots</h2>";
  grid_chart(h, s);
  h += "</section>";
  simple_table(h, "Stations", "Station", s.stations);
  h += "<section><h2>Ports</h2><table>";
  counts_head(h, {"Station", "Port"});
  h += "<th>Longest failure run</th></tr>";
  for (const Row& r : s.ports) {
    h += "<tr><td>" + esc(r.label) + "</td><td class=\"t\">" + esc(r.label2) + "</td>";
    counts_cells(h, r.counts);
    h += "<td>" + std::to_string(r.longest) + "</td></tr>";
  }
  h += "</table></section>";
  simple_table(h, "Box versions", "Box version", s.box_versions);
  simple_table(h, "Files (version and checksum)", "File", s.files);
  simple_table(h, "Hours (UTC)", "Hour", s.hours);
  if (s.units.units) {
    const UnitSummary& u = s.units;
    h += "<section id=\"units\"><h2>Units</h2><div class=\"totals\">";
    box("units", std::to_string(u.units));
    box("first pass yield", format_percent(u.first_pass_yield));
    box("final yield", format_percent(u.final_yield));
    box("units retested", std::to_string(u.retested));
    box("retests", std::to_string(u.retests));
    h += "</div><h2>Units needing most attempts</h2><table><tr><th class=\"t\">Unit</th>"
         "<th>Attempts</th><th>Ok</th><th>Failed</th><th class=\"t\">Last</th></tr>";
    for (const UnitRow& r : u.most_attempts)
      h += "<tr><td class=\"t\">" + esc(r.unit) + "</td><td>" + std::to_string(r.attempts) +
           "</td><td>" + std::to_string(r.ok) + "</td><td>" + std::to_string(r.failed) +
           "</td><td class=\"t\">" + result_text(r.last) + "</td></tr>";
    h += "</table></section>";
  }
  h += "</body></html>\n";

  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(h.data(), 1, h.size(), f) == h.size();
  return std::fclose(f) == 0 && ok;
}
