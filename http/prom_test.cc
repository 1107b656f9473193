#include "http/prom.h"

#include <cmath>

#include "gtest/gtest.h"

namespace {

TEST(Prom, FamiliesSamplesAndEscapes) {
  std::string out;
  prom_family(&out, "x_total", "counter", "Things \\ done\nso far.");
  prom_sample(&out, "x_total", {{"port", "COM3"}, {"cause", "say \"hi\"\\\n"}}, 3);
  prom_sample(&out, "x_total", {}, 0.25);
  prom_sample(&out, "x_total", {}, 12345678901234.0);
  prom_sample(&out, "x_total", {}, -1e-3);
  prom_sample(&out, "x_total", {}, INFINITY);
  prom_sample(&out, "x_total", {}, NAN);
  EXPECT_EQ(
      "# HELP x_total Things \\\\ done\\nso far.\n"
      "# TYPE x_total counter\n"
      "x_total{port=\"COM3\",cause=\"say \\\"hi\\\"\\\\\\n\"} 3\n"
      "x_total 0.25\n"
      "x_total 12345678901234\n"
      "x_total -0.001\n"
      "x_total +Inf\n"
      "x_total NaN\n",
      out);
}

TEST(Prom, HistogramBucketsAreCumulative) {
  PromHistogram h = prom_histogram_make({1, 2.5, 10});
  for (double v : {0.5, 1.0, 2.0, 3.0, 30.0}) prom_observe(&h, v);
  std::string out;
  prom_histogram(&out, "d_seconds", {{"station", "s1"}}, h);
  EXPECT_EQ(
      "d_seconds_bucket{station=\"s1\",le=\"1\"} 2\n"
      "d_seconds_bucket{station=\"s1\",le=\"2.5\"} 3\n"
      "d_seconds_bucket{station=\"s1\",le=\"10\"} 4\n"
      "d_seconds_bucket{station=\"s1\",le=\"+Inf\"} 5\n"
      "d_seconds_sum{station=\"s1\"} 36.5\n"
      "d_seconds_count{station=\"s1\"} 5\n",
      out);
}

}  // namespace
