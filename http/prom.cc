#include "http/prom.h"

#include <charconv>
#include <cmath>

namespace {

void put_number(std::string* out, double v) {
  if (std::isnan(v)) {
    *out += "NaN";
  } else if (std::isinf(v)) {
    *out += v > 0 ? "+Inf" : "-Inf";
  } else {
    // Shortest text that reads back as the same double; whole numbers
    // without a fraction or exponent below 2^53.
    char buf[32];
    std::to_chars_result r = std::abs(v) < 9007199254740992.0 && v == std::floor(v)
                                 ? std::to_chars(buf, buf + sizeof buf, static_cast<long long>(v))
                                 : std::to_chars(buf, buf + sizeof buf, v);
    out->append(buf, r.ptr);
  }
}

void put_escaped(std::string* out, std::string_view s, bool quotes) {
  for (char c : s) {
    if (c == '\\') {
      *out += "\\\\";
    } else if (c == '\n') {
      *out += "\\n";
    } else if (c == '"' && quotes) {
      *out += "\\\"";
    } else {
      *out += c;
    }
  }
}

template <typename Labels>
void put_sample(std::string* out, std::string_view name, const Labels& labels,
                const PromLabel* extra, double value) {
  *out += name;
  if (labels.size() != 0 || extra != nullptr) {
    *out += '{';
    bool first = true;
    auto put = [&](const PromLabel& l) {
      if (!first) *out += ',';
      first = false;
      *out += l.name;
      *out += "=\"";
      put_escaped(out, l.value, true);
      *out += '"';
    };
    for (const PromLabel& l : labels) put(l);
    if (extra != nullptr) put(*extra);
    *out += '}';
  }
  *out += ' ';
  put_number(out, value);
  *out += '\n';
}

}  // namespace

void prom_family(std::string* out, std::string_view name, std::string_view type,
                 std::string_view help) {
  *out += "# HELP ";
  *out += name;
  *out += ' ';
  put_escaped(out, help, false);
  *out += "\n# TYPE ";
  *out += name;
  *out += ' ';
  *out += type;
  *out += '\n';
}

void prom_sample(std::string* out, std::string_view name, std::initializer_list<PromLabel> labels,
                 double value) {
  put_sample(out, name, labels, nullptr, value);
}

void prom_sample(std::string* out, std::string_view name, const std::vector<PromLabel>& labels,
                 double value) {
  put_sample(out, name, labels, nullptr, value);
}

PromHistogram prom_histogram_make(std::vector<double> bounds) {
  PromHistogram h;
  h.counts.assign(bounds.size() + 1, 0);
  h.bounds = std::move(bounds);
  return h;
}

void prom_observe(PromHistogram* h, double value) {
  size_t i = 0;
  while (i < h->bounds.size() && value > h->bounds[i]) ++i;
  ++h->counts[i];
  h->sum += value;
  ++h->count;
}

void prom_histogram(std::string* out, std::string_view name, const std::vector<PromLabel>& labels,
                    const PromHistogram& h) {
  std::string bucket = std::string(name) + "_bucket";
  uint64_t running = 0;
  for (size_t i = 0; i <= h.bounds.size(); ++i) {
    running += i < h.counts.size() ? h.counts[i] : 0;
    std::string le;
    put_number(&le, i < h.bounds.size() ? h.bounds[i] : INFINITY);
    PromLabel extra{"le", le};
    put_sample(out, bucket, labels, &extra, static_cast<double>(running));
  }
  put_sample(out, std::string(name) + "_sum", labels, nullptr, h.sum);
  put_sample(out, std::string(name) + "_count", labels, nullptr, static_cast<double>(h.count));
}
