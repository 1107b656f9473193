// Prometheus text exposition format 0.0.4, written into a string: each family
// its HELP and TYPE once, then its samples, which must follow directly.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view kPromContentType = "text/plain; version=0.0.4; charset=utf-8";

struct PromLabel {
  std::string_view name;
  std::string_view value;  // escaped when written
};

// "# HELP name help" and "# TYPE name type" (type: "counter", "gauge",
// "histogram"). `help` is escaped (backslash, newline).
void prom_family(std::string* out, std::string_view name, std::string_view type,
                 std::string_view help);

// One sample line: name{labels} value. Integral values print without a
// fraction; +Inf, -Inf and NaN as Prometheus spells them.
void prom_sample(std::string* out, std::string_view name, std::initializer_list<PromLabel> labels,
                 double value);
void prom_sample(std::string* out, std::string_view name, const std::vector<PromLabel>& labels,
                 double value);

// A histogram's state: counts per bucket (not cumulative), the last bucket
// being +Inf.
struct PromHistogram {
  std::vector<double> bounds;    // upper bounds, ascending, without +Inf
  std::vector<uint64_t> counts;  // bounds.size() + 1 entries
  double sum = 0;
  uint64_t count = 0;
};

PromHistogram prom_histogram_make(std::vector<double> bounds);
void prom_observe(PromHistogram* h, double value);

// The _bucket (cumulative, le="..."), _sum and _count lines of `h` under
// `labels` (the family's HELP/TYPE written before by prom_family).
void prom_histogram(std::string* out, std::string_view name, const std::vector<PromLabel>& labels,
                    const PromHistogram& h);
