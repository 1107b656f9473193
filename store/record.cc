#include "store/record.h"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <vector>

static_assert(kLinePadding >= simdjson::SIMDJSON_PADDING);

namespace {

uint64_t load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

uint64_t mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

// Two independent 64-bit lanes: collisions among a few million lines are
// out of reach, and the lines are hashed eight bytes at a time.
RecordKey hash128(std::string_view s, uint64_t tag) {
  uint64_t a = 0x9e3779b97f4a7c15ULL ^ tag ^ s.size();
  uint64_t b = 0xc2b2ae3d27d4eb4fULL + tag + (s.size() << 1);
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t v = load64(s.data() + i);
    a = (a ^ mix(v)) * 0x100000001b3ULL + 0x2545f4914f6cdd1dULL;
    b = (b + v) * 0x9fb21c651e98df25ULL;
    b ^= b >> 29;
  }
  uint64_t rest = 0;
  std::memcpy(&rest, s.data() + i, s.size() - i);
  a = mix(a ^ mix(rest + 1));
  b = mix(b ^ (rest * 0xbf58476d1ce4e5b9ULL) ^ a);
  return {a, b};
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

RecordKey record_key_of_line(std::string_view line) { return hash128(line, 1); }

uint64_t record_key_hash(const RecordKey& k) { return mix(k.hi ^ mix(k.lo)); }

RecordKey record_key_of_attempt(std::string_view attempt) {
  if (attempt.size() == 32) {
    RecordKey k;
    bool hex = true;
    for (size_t i = 0; i < 32 && hex; ++i) {
      int v = hex_value(attempt[i]);
      if (v < 0) hex = false;
      uint64_t& half = i < 16 ? k.hi : k.lo;
      half = (half << 4) | static_cast<uint64_t>(v & 15);
    }
    if (hex) return k;
  }
  return hash128(attempt, 2);
}

std::string record_key_text(const RecordKey& k) {
  char buf[33];
  std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(k.hi),
                static_cast<unsigned long long>(k.lo));
  return buf;
}

namespace {

const FieldSpec kFields[kRecordFields] = {
    {"tool", kFieldText},         {"mode", kFieldText},
    {"file", kFieldText},         {"file_size", kFieldInt},
    {"format", kFieldInt},        {"patched", kFieldBool},
    {"line_speed", kFieldInt},    {"bytes_sent", kFieldInt},
    {"exit_code", kFieldInt},     {"error", kFieldText},
    {"error_code", kFieldInt},    {"box_error", kFieldText},
    {"attempt", kFieldText},      {"software_version", kFieldText},
    {"unit", kFieldText},         {"operator", kFieldText},
    {"image_sha256", kFieldText}, {"image_size", kFieldInt},
    {"error_detail", kFieldText}, {"signature", kFieldText},
};

}  // namespace

const FieldSpec& record_field(int i) { return kFields[i]; }

int record_field_index(std::string_view name) {
  for (int i = 0; i < kRecordFields; ++i)
    if (name == kFields[i].name) return i;
  return -1;
}

struct RecordParser {
  simdjson::ondemand::parser parser;
  std::vector<std::string_view> keys;  // of the line being read
};

RecordParser* record_parser_new() { return new RecordParser; }
void record_parser_free(RecordParser* p) { delete p; }

namespace {

using simdjson::ondemand::json_type;

// Past these a value cannot come from a run: a week, and the largest
// port number the tool keeps.
constexpr double kMaxSeconds = 7 * 24 * 3600.0;
constexpr int64_t kMaxPort = 2147483647;

using simdjson::ondemand::value;

// A string field, or null/absent as `dash`. Any other type is an error.
bool text_or_null(value v, std::string_view* out) {
  json_type t;
  if (v.type().get(t)) return false;
  if (t == json_type::null) {
    bool is_null = false;
    if (v.is_null().get(is_null) || !is_null) return false;
    *out = "-";
    return true;
  }
  if (t != json_type::string) return false;
  return !v.get_string().get(*out);
}

// A value the report does not count must still be JSON: on-demand parsing
// skips it unread, so a line with a broken one would otherwise be counted.
bool well_formed(value v, int depth = 0) {
  json_type t;
  if (depth > 32 || v.type().get(t)) return false;
  switch (t) {
    case json_type::null: {
      bool is_null = false;
      return !v.is_null().get(is_null) && is_null;
    }
    case json_type::boolean: {
      bool b;
      return !v.get_bool().get(b);
    }
    case json_type::number: {
      simdjson::ondemand::number n;
      return !v.get_number().get(n);
    }
    case json_type::string: {
      std::string_view text;
      return !v.get_string().get(text);
    }
    case json_type::array: {
      simdjson::ondemand::array a;
      if (v.get_array().get(a)) return false;
      for (auto e : a) {
        value inner;
        if (e.get(inner) || !well_formed(inner, depth + 1)) return false;
      }
      return true;
    }
    case json_type::object: {
      simdjson::ondemand::object o;
      if (v.get_object().get(o)) return false;
      for (auto f : o) {
        std::string_view key;
        value inner;
        if (f.unescaped_key().get(key) || f.value().get(inner) || !well_formed(inner, depth + 1))
          return false;
      }
      return true;
    }
  }
  return false;
}

int digits(std::string_view t, size_t at, size_t n) {
  int v = 0;
  for (size_t i = at; i < at + n; ++i) v = v * 10 + (t[i] - '0');
  return v;
}

// 2026-12-08T03:24:21, then optionally a fraction and Z: a real time, so
// that every table and bound compares like with like.
bool time_valid(std::string_view t) {
  static const char pattern[] = "dddd-dd-ddTdd:dd:dd";
  if (t.size() < 19) return false;
  for (size_t i = 0; i < 19; ++i) {
    char p = pattern[i];
    if (p == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != p) return false;
  }
  size_t i = 19;
  if (i < t.size() && t[i] == '.') {
    size_t from = ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    if (i == from) return false;
  }
  if (i < t.size() && t[i] == 'Z') ++i;
  if (i != t.size()) return false;
  int year = digits(t, 0, 4), month = digits(t, 5, 2), day = digits(t, 8, 2);
  static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return false;
  return digits(t, 11, 2) < 24 && digits(t, 14, 2) < 60 && digits(t, 17, 2) < 60;
}

// A field kept in a column of its own. Of another type than the column's
// it is kept only in the whole line (it must still be JSON).
bool take_field(value v, json_type t, FieldType want, FieldValue* out) {
  if (t == json_type::null) return well_formed(v);
  if (want == kFieldText && t == json_type::string) {
    out->set = !v.get_string().get(out->text);
    return out->set;
  }
  if (want == kFieldBool && t == json_type::boolean) {
    bool b;
    if (v.get_bool().get(b)) return false;
    *out = {true, {}, b ? 1 : 0};
    return true;
  }
  if (want == kFieldInt && t == json_type::number) {
    simdjson::ondemand::number n;
    if (v.get_number().get(n)) return false;
    if (n.is_int64()) *out = {true, {}, n.get_int64()};
    return true;
  }
  return well_formed(v);
}

// Two fields of one name: which one counts is anyone's guess, so the line
// is no record. The parser keeps the keys' text until the next line.
bool repeats(std::vector<std::string_view>* keys) {
  std::sort(keys->begin(), keys->end());
  return std::adjacent_find(keys->begin(), keys->end()) != keys->end();
}

}  // namespace

bool record_parse(RecordParser* rp, std::string_view line, Record* r) {
  simdjson::ondemand::document doc;
  if (rp->parser.iterate(line.data(), line.size(), line.size() + kLinePadding).get(doc))
    return false;
  simdjson::ondemand::object obj;
  if (doc.get_object().get(obj)) return false;

  *r = Record{};
  r->station = r->port = r->box_version = r->file_version = r->file_checksum = "-";
  std::string_view time, result, error, box_error, attempt;
  bool has_time = false, has_result = false, has_attempt = false;
  rp->keys.clear();
  for (auto field : obj) {
    std::string_view key;
    if (field.unescaped_key().get(key)) return false;
    rp->keys.push_back(key);
    value v;
    if (field.value().get(v)) return false;
    json_type t;
    if (v.type().get(t)) return false;
    if (key == "time") {
      if (t != json_type::string || v.get_string().get(time)) return false;
      has_time = true;
    } else if (key == "result") {
      if (t != json_type::string || v.get_string().get(result)) return false;
      has_result = true;
    } else if (key == "station") {
      if (!text_or_null(v, &r->station)) return false;
    } else if (key == "attempt") {
      if (t == json_type::null) continue;
      if (t != json_type::string || v.get_string().get(attempt)) return false;
      has_attempt = true;
    } else if (key == "port") {
      if (t == json_type::number) {
        int64_t n;
        if (v.get_int64().get(n) || n < 0 || n > kMaxPort) return false;
        r->port_digits = std::to_string(n);
        r->port = "";  // set below, once the string stops moving
      } else if (!text_or_null(v, &r->port)) {
        return false;
      }
    } else if (key == "error" || key == "box_error") {
      if (t == json_type::null) continue;  // as if absent
      if (t != json_type::string || v.get_string().get(key == "error" ? error : box_error))
        return false;
    } else if (key == "seconds") {
      if (t == json_type::null) continue;
      if (t != json_type::number || v.get_double().get(r->seconds)) return false;
      // Also refuses NaN.
      if (!(r->seconds >= 0 && r->seconds <= kMaxSeconds)) return false;
    } else if (key == "box_version") {
      if (!text_or_null(v, &r->box_version)) return false;
    } else if (key == "file_version") {
      if (!text_or_null(v, &r->file_version)) return false;
    } else if (key == "file_checksum") {
      if (!text_or_null(v, &r->file_checksum)) return false;
    } else if (int i = record_field_index(key); i >= 0) {
      if (!take_field(v, t, record_field(i).type, &r->fields[i])) return false;
    } else if (!well_formed(v)) {
      return false;
    }
  }
  // Nothing may follow the object on its line.
  const char* at;
  if (!doc.current_location().get(at)) return false;

  if (repeats(&rp->keys)) return false;
  if (!has_time || !has_result || !time_valid(time)) return false;
  if (result == "ok") {
    r->result = kResultOk;
  } else if (result == "failed") {
    r->result = kResultFailed;
    r->cause = !box_error.empty() ? box_error : !error.empty() ? error : std::string_view("-");
  } else if (result == "stopped") {
    r->result = kResultStopped;
  } else {
    return false;
  }
  if (r->station.empty()) r->station = "-";
  r->time = time;
  if (!r->port_digits.empty()) r->port = r->port_digits;
  r->key = has_attempt ? record_key_of_attempt(attempt) : record_key_of_line(line);
  r->line = line;
  static const int kError = record_field_index("error"),
                   kBoxError = record_field_index("box_error"),
                   kAttempt = record_field_index("attempt"), kUnit = record_field_index("unit"),
                   kDetail = record_field_index("error_detail");
  const std::string_view* texts[] = {&error, &box_error, &attempt};
  const int at_field[] = {kError, kBoxError, kAttempt};
  for (int i = 0; i < 3; ++i)
    if (!texts[i]->empty() || (i == 2 && has_attempt))
      r->fields[at_field[i]] = {true, *texts[i], 0};
  if (r->fields[kUnit].set) r->unit = r->fields[kUnit].text;
  if (r->result == kResultFailed && r->fields[kDetail].set)
    r->error_detail = r->fields[kDetail].text;
  return true;
}
