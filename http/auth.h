// The bearer token that guards control requests.
#pragma once
#include <string>
#include <string_view>

#include "http/request.h"
#include "http/response.h"

// Equal bytes, in time that depends on the lengths only, not on where the
// first difference lies.
bool http_equal_secret(std::string_view a, std::string_view b);

// 0 when `r` carries "Authorization: Bearer TOKEN" with TOKEN == `token`;
// 403 when `token` is empty (no token configured: control is off);
// 401 when the header is missing, malformed or the token wrong.
int http_check_bearer(const HttpRequest& r, std::string_view token);

// The response for a refusal from http_check_bearer (401 carries
// WWW-Authenticate: Bearer).
HttpResponse http_auth_refusal(int status);

// The longest token a token file may hold.
constexpr size_t kHttpTokenMax = 1023;

// Reads the token from the first line of the file at `path` into *token,
// blanks around it removed (a header's value has none, so a token with
// them could never match). Returns "" or why the file cannot guard
// control: unreadable, no token on its first line (empty or only blanks),
// or a first line longer than kHttpTokenMax bytes.
std::string http_read_token(const std::string& path, std::string* token);
