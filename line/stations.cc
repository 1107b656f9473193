#include "line/stations.h"

#include "line/client.h"

namespace {

constexpr size_t kMaxName = 64;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

std::string stations_parse(std::string_view text,
                           std::vector<std::pair<std::string, std::string>>* out) {
  std::vector<std::pair<std::string, std::string>> list;
  int number = 0;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    number++;
    size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    std::vector<std::string_view> words;
    size_t at = 0;
    while (at < line.size()) {
      while (at < line.size() && blank(line[at])) at++;
      size_t start = at;
      while (at < line.size() && !blank(line[at])) at++;
      if (at > start) words.push_back(line.substr(start, at - start));
    }
    if (words.empty()) continue;
    std::string where = "line " + std::to_string(number) + ": ";
    if (words.size() != 2) return where + "not NAME URL";
    std::string name(words[0]);
    if (name.size() > kMaxName) return where + "a name longer than 64 characters";
    for (unsigned char c : name)
      if (c < 0x21 || c > 0x7e || c == '"' || c == '\\')
        return where + "a name with " + "'" + std::string(1, static_cast<char>(c)) + "'";
    ClientUrl url;
    std::string why = client_parse_url(words[1], &url);
    if (!why.empty()) return where + std::string(words[1]) + ": " + why;
    for (const auto& [n, u] : list)
      if (n == name) return where + name + " is named twice";
    list.emplace_back(name, std::string(words[1]));
  }
  *out = std::move(list);
  return "";
}
