#include <algorithm>
#include <cstdarg>
#include <vector>

#include "core/visible.h"
#include "report/output.h"

std::string format_fixed(double v, int places) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", places, v);
  return buf;
}

std::string format_percent(double share) { return format_fixed(share * 100, 1) + "%"; }

const char* result_text(RecordResult r) {
  static const char* const kText[] = {"ok", "failed", "stopped"};
  return kText[r];
}

std::string details_text(const CauseRow& r) {
  std::string out;
  for (const Detail& d : r.details) {
    if (!out.empty()) out += ", ";
    out += d.text + " (" + std::to_string(d.count) + ")";
  }
  if (r.other_details)
    out += ", " + std::to_string(r.other_details) +
           (r.other_details == 1 ? " other (" : " others (") + std::to_string(r.other_count) + ")";
  return out;
}

namespace {

// Columns on a terminal: UTF-8 continuation bytes take none.
size_t columns(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xc0) != 0x80;
  return n;
}

// A journal's text may hold anything: control characters are shown as the
// tool shows a box's text, line breaks and tabs as spaces, so a row stays
// one line of the table.
std::string shown(const std::string& s) {
  std::string out = visible_text(s.data(), s.size());
  for (char& c : out)
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  return out;
}

std::string cut(const std::string& s, size_t width) {
  if (columns(s) <= width) return s;
  std::string out;
  size_t n = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if ((c & 0xc0) != 0x80 && ++n > width - 3) break;
    out += s[i];
  }
  return out + "...";
}

struct Table {
  std::vector<std::string> head;
  size_t text_columns = 1;  // the first ones, left aligned; the rest are numbers
  std::vector<std::vector<std::string>> rows;
};

// Text columns give way when the table is too wide: the widest is cut
// first, never below its heading.
void print(std::FILE* out, const char* title, Table t) {
  size_t n = t.head.size();
  std::vector<size_t> w(n);
  for (size_t i = 0; i < n; ++i) {
    w[i] = columns(t.head[i]);
    for (auto& r : t.rows) {
      r[i] = shown(r[i]);
      w[i] = std::max(w[i], columns(r[i]));
    }
  }
  auto total = [&] {
    size_t sum = 2;
    for (size_t x : w) sum += x;
    return sum + 2 * (n - 1);
  };
  while (total() > kTextWidth) {
    size_t widest = 0;
    for (size_t i = 1; i < t.text_columns; ++i)
      if (w[i] > w[widest]) widest = i;
    if (w[widest] <= std::max<size_t>(columns(t.head[widest]), 8)) break;
    --w[widest];
  }
  std::fprintf(out, "\n%s\n", title);
  auto line = [&](const std::vector<std::string>& cells) {
    std::string s = "  ";
    for (size_t i = 0; i < n; ++i) {
      std::string c = cut(cells[i], w[i]);
      std::string pad(w[i] - columns(c), ' ');
      if (i < t.text_columns) s += i + 1 < n ? c + pad : c;
      else s += pad + c;
      if (i + 1 < n) s += "  ";
    }
    while (!s.empty() && s.back() == ' ') s.pop_back();
    std::fprintf(out, "%s\n", s.c_str());
  };
  line(t.head);
  for (const auto& r : t.rows) line(r);
}

std::vector<std::string> counts_cells(const Counts& c) {
  return {std::to_string(attempts(c)), std::to_string(c.ok), std::to_string(c.failed),
          std::to_string(c.stopped), attempts(c) ? format_percent(yield_of(c)) : "-"};
}

Table counts_table(std::vector<std::string> head, const std::vector<Row>& rows) {
  Table t;
  t.text_columns = head.size();
  for (const char* h : {"Attempts", "Ok", "Failed", "Stopped", "Yield"}) head.push_back(h);
  t.head = head;
  for (const Row& r : rows) {
    std::vector<std::string> cells{r.label};
    if (t.text_columns == 2) cells.push_back(r.label2);
    for (auto& c : counts_cells(r.counts)) cells.push_back(c);
    t.rows.push_back(cells);
  }
  return t;
}

}  // namespace

void output_text(std::FILE* out, const Summary& s) {
  const Counts& c = s.totals;
  std::fprintf(out, "Period    %s to %s\n", shown(s.first).c_str(), shown(s.last).c_str());
  std::fprintf(out, "Attempts  %lld: ok %lld, failed %lld, yield %s; stopped %lld\n",
               static_cast<long long>(attempts(c)), static_cast<long long>(c.ok),
               static_cast<long long>(c.failed),
               attempts(c) ? format_percent(s.yield).c_str() : "-",
               static_cast<long long>(c.stopped));
  std::fprintf(out, "Pace      %s boxes per hour over %zu hours with records, %s s a good box\n",
               format_fixed(s.boxes_per_hour, 1).c_str(), s.hours.size(),
               format_fixed(s.mean_good_seconds, 1).c_str());
  std::fprintf(out, "Records   %lld", static_cast<long long>(s.records));
  if (s.skipped_lines)
    std::fprintf(out, ", %lld lines skipped", static_cast<long long>(s.skipped_lines));
  std::fprintf(out, "\n");

  print(out, "Stations", counts_table({"Station"}, s.stations));

  Table ports = counts_table({"Station", "Port"}, s.ports);
  ports.head.push_back("Longest failure run");
  for (size_t i = 0; i < s.ports.size(); ++i)
    ports.rows[i].push_back(std::to_string(s.ports[i].longest));
  print(out, "Ports", ports);

  // Under each cause its most frequent details, indented, with their
  // counts: a column of their own would be cut at the width.
  Table causes;
  causes.head = {"Cause", "Count", "Share", "Running"};
  for (const CauseRow& r : s.causes) {
    causes.rows.push_back(
        {r.cause, std::to_string(r.count), format_percent(r.share), format_percent(r.running)});
    for (const Detail& d : r.details)
      causes.rows.push_back({"  " + d.text, std::to_string(d.count), "", ""});
    if (r.other_details)
      causes.rows.push_back(
          {"  " + std::to_string(r.other_details) + (r.other_details == 1 ? " other" : " others"),
           std::to_string(r.other_count), "", ""});
  }
  if (causes.rows.empty()) causes.rows.push_back({"(no failures)", "0", "-", "-"});
  print(out, "Causes", causes);

  print(out, "Box versions", counts_table({"Box version"}, s.box_versions));

  Table files;
  files.head = {"File version", "Checksum", "Attempts", "Ok", "Failed", "Stopped", "Yield"};
  files.text_columns = 2;
  for (const Row& r : s.files) {
    size_t sp = r.label.find(' ');
    std::vector<std::string> cells{r.label.substr(0, sp), r.label.substr(sp + 1)};
    for (auto& x : counts_cells(r.counts)) cells.push_back(x);
    files.rows.push_back(cells);
  }
  print(out, "Files", files);

  Table hours = counts_table({"Hour (UTC)"}, {});
  for (const Row& r : s.hours) {
    std::vector<std::string> cells{r.label.substr(0, 10) + " " + r.label.substr(11, 2) + ":00"};
    for (auto& x : counts_cells(r.counts)) cells.push_back(x);
    hours.rows.push_back(cells);
  }
  print(out, "Hours", hours);

  // Only where records name their units.
  const UnitSummary& u = s.units;
  if (!u.units) return;
  std::fprintf(out, "\nUnits     %lld: first pass yield %s (%lld), final yield %s (%lld)\n",
               static_cast<long long>(u.units), format_percent(u.first_pass_yield).c_str(),
               static_cast<long long>(u.first_pass), format_percent(u.final_yield).c_str(),
               static_cast<long long>(u.final_good));
  std::fprintf(out, "Retests   %lld units retested, %lld attempts beyond the first\n",
               static_cast<long long>(u.retested), static_cast<long long>(u.retests));
  Table most;
  most.head = {"Unit", "Attempts", "Ok", "Failed", "Last"};
  for (const UnitRow& r : u.most_attempts)
    most.rows.push_back({r.unit, std::to_string(r.attempts), std::to_string(r.ok),
                         std::to_string(r.failed), result_text(r.last)});
  if (most.rows.empty()) most.rows.push_back({"(none retested)", "-", "-", "-", "-"});
  print(out, "Units needing most attempts", most);
}
