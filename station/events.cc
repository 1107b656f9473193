#include "station/events.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

std::string text_of(const json& o, const char* key) {
  auto it = o.find(key);
  return it != o.end() && it->is_string() ? it->get<std::string>() : "";
}

long number_of(const json& o, const char* key, long fallback) {
  auto it = o.find(key);
  return it != o.end() && it->is_number() ? it->get<long>() : fallback;
}

}  // namespace

EventKind apply_event(const std::string& line, RunState* r) {
  json e = json::parse(line, nullptr, false);
  if (e.is_discarded() || !e.is_object()) return EventKind::kBad;
  std::string event = text_of(e, "event");
  if (event == "phase") {
    std::string phase = text_of(e, "phase");
    if (phase.empty()) return EventKind::kBad;
    r->phase = phase;
    return EventKind::kPhase;
  }
  if (event == "box") {
    r->box_version = text_of(e, "box_version");
    return EventKind::kBox;
  }
  if (event == "speed") {
    r->line_speed = number_of(e, "line_speed", r->line_speed);
    return EventKind::kSpeed;
  }
  if (event == "progress") {
    r->percent = (int)number_of(e, "percent", r->percent);
    r->bytes = number_of(e, "bytes", r->bytes);
    r->total = number_of(e, "total", r->total);
    return EventKind::kProgress;
  }
  if (event == "end") {
    auto it = e.find("record");
    if (it == e.end() || !it->is_object()) return EventKind::kBad;
    const json& rec = *it;
    std::string result = text_of(rec, "result");
    r->ended = true;
    r->result = result == "ok"        ? RunResult::kOk
                : result == "stopped" ? RunResult::kStopped
                                      : RunResult::kFailed;
    r->error = text_of(rec, "error");
    r->box_error = text_of(rec, "box_error");
    r->error_detail = text_of(rec, "error_detail");
    std::string box = text_of(rec, "box_version");
    if (!box.empty()) r->box_version = box;
    r->line_speed = number_of(rec, "line_speed", r->line_speed);
    auto s = rec.find("seconds");
    if (s != rec.end() && s->is_number()) r->seconds = s->get<double>();
    r->file_version = text_of(rec, "file_version");
    r->file_checksum = text_of(rec, "file_checksum");
    r->bytes = number_of(rec, "bytes_sent", r->bytes);
    // Again in the order the tool wrote it, for readers of the attempt.
    nlohmann::ordered_json ordered = nlohmann::ordered_json::parse(line, nullptr, false);
    r->record = ordered["record"].dump(-1, ' ', false, json::error_handler_t::replace);
    r->phase = "end";
    return EventKind::kEnd;
  }
  return event.empty() ? EventKind::kBad : EventKind::kOther;
}

std::string failure_cause(const RunState& r) {
  if (!r.box_error.empty()) return r.box_error;
  if (!r.error.empty()) return r.error;
  return "no reason given";
}
