#include "station/page_text.h"

#include <nlohmann/json.hpp>

#include "core/html_text.h"
#include "station/page.h"

namespace {

struct PageText {
  const char* key;
  const char* text[2];  // English, German
};

// "{name}" in a text is filled in by the script.
constexpr PageText kPageTexts[] = {
    {"conn.connecting", {"connecting", "verbinde"}},
    {"conn.live", {"live", "verbunden"}},
    {"conn.reconnecting", {"reconnecting", "verbinde neu"}},
    {"fact.version", {"version", "Version"}},
    {"fact.checksum", {"checksum", "Prüfsumme"}},
    {"fact.ok", {"ok", "ok"}},
    {"fact.failed", {"failed", "fehlgeschlagen"}},
    {"fact.rate", {"boxes per hour", "Boxen pro Stunde"}},
    {"fact.elapsed", {"elapsed", "Laufzeit"}},
    {"drain", {"Drain", "Auslaufen lassen"}},
    {"notice.draining",
     {"Draining: boxes on the line finish, no new ones start.",
      "Auslaufen: Die Boxen an der Linie werden fertig, neue starten nicht."}},
    {"col.slot", {"Slot", "Platz"}},
    {"col.port", {"Port", "Port"}},
    {"col.state", {"State", "Zustand"}},
    {"col.progress", {"Progress", "Fortschritt"}},
    {"col.speed", {"Line speed", "Baudrate"}},
    {"col.box", {"Box", "Box"}},
    {"col.unit", {"Unit", "Gerät"}},
    {"col.time", {"Time in run", "Dauer"}},
    {"col.ok", {"OK", "OK"}},
    {"col.failed", {"Failed", "Fehler"}},
    {"col.error", {"Last cause", "Letzte Ursache"}},
    {"causes", {"Failures by cause", "Fehler nach Ursache"}},
    {"attempts", {"Last attempts", "Letzte Versuche"}},
    {"none", {"none", "keine"}},
    {"none_yet", {"none yet", "noch keine"}},
    {"state.start", {"start", "Start"}},
    {"state.open", {"open", "öffnet"}},
    {"state.wake", {"wake", "weckt"}},
    {"state.sync", {"sync", "synchronisiert"}},
    {"state.identify", {"identify", "erkennt"}},
    {"state.server", {"server", "Server"}},
    {"state.download", {"download", "lädt"}},
    {"state.program", {"program", "programmiert"}},
    {"state.end", {"end", "Ende"}},
    {"state.parked", {"parked", "geparkt"}},
    {"state.done", {"done", "fertig"}},
    {"state.waiting", {"waiting", "wartet"}},
    {"state.scan", {"scan", "wartet auf Scan"}},
    {"state.scan_next", {"scan next", "nächster Scan"}},
    {"unit.next", {"next {unit}", "danach {unit}"}},
    {"result.ok", {"ok", "ok"}},
    {"result.failed", {"failed", "Fehler"}},
    {"result.stopped", {"stopped", "gestoppt"}},
    {"retest", {"retest", "Nachtest"}},
    {"streak", {"{n} in a row", "{n} in Folge"}},
    {"park", {"Park", "Parken"}},
    {"unpark", {"Unpark", "Freigeben"}},
    {"attempt.ok", {"box {box} in {seconds} s", "Box {box} in {seconds} s"}},
    {"attempt.port", {"port {port}", "Port {port}"}},
    {"control.prompt", {"Token for control of this station", "Token zur Steuerung dieser Station"}},
    {"control.wrong_token",
     {"Wrong token: nothing was done.", "Falsches Token: Es wurde nichts getan."}},
    {"control.off",
     {"This station takes no control from the page.",
      "Diese Station lässt sich nicht von der Seite steuern."}},
    {"control.refused", {"Refused: {status}.", "Abgelehnt: {status}."}},
    {"control.no_answer", {"The station did not answer.", "Die Station hat nicht geantwortet."}},
};

const std::vector<std::string_view> kLanguages = {"en", "de"};

// The texts as a script's object; "<" escaped, so no text can end the
// script element it stands in.
std::string script_texts(size_t lang) {
  nlohmann::ordered_json o = nlohmann::ordered_json::object();
  for (const PageText& t : kPageTexts) o[t.key] = t.text[lang];
  std::string out;
  for (char c : o.dump()) {
    if (c == '<') out += "\\u003c";
    else out += c;
  }
  return out;
}

}  // namespace

const std::vector<std::string_view>& page_languages() { return kLanguages; }

const char* page_text(std::string_view key, size_t lang) {
  if (lang >= kLanguages.size()) return nullptr;
  for (const PageText& t : kPageTexts)
    if (key == t.key) return t.text[lang];
  return nullptr;
}

std::string station_page(size_t lang) {
  if (lang >= kLanguages.size()) lang = 0;
  std::string_view page = kStationPage;
  std::string out;
  size_t at = 0;
  while (true) {
    size_t open = page.find("{{", at);
    size_t close = open == std::string_view::npos ? open : page.find("}}", open + 2);
    if (close == std::string_view::npos) break;
    std::string_view key = page.substr(open + 2, close - open - 2);
    out += page.substr(at, open - at);
    const char* text = page_text(key, lang);
    if (key == "lang") out += kLanguages[lang];
    else if (key == "texts") out += script_texts(lang);
    else if (text) out += html_text(text);
    else out += page.substr(open, close + 2 - open);
    at = close + 2;
  }
  out += page.substr(at);
  return out;
}
