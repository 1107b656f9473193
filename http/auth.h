// The bearer token that guards control requests.
#pragma once
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
