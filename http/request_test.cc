#include "http/request.h"

#include <cstdio>
#include <string>

#include "gtest/gtest.h"
#include "http/auth.h"
#include "http/response.h"
#include "http/route.h"

namespace {

struct ParseCase {
  const char* what;
  std::string head;
  HttpParse want;
  const char* path = "";
  bool keep_alive = true;
  size_t length = 0;
};

const std::string kHost = "Host: a\r\n";

// `n` short headers, Host first.
std::string headers(size_t n) {
  std::string h = kHost;
  for (size_t i = 1; i < n; ++i) h += "X" + std::to_string(i) + ": v\r\n";
  return h;
}

TEST(HttpParse, Table) {
  const ParseCase cases[] = {
      // Well within the head's size: the count alone refuses it.
      {"100 headers", "GET / HTTP/1.1\r\n" + headers(100) + "\r\n", HttpParse::kDone, "/"},
      {"101 headers", "GET / HTTP/1.1\r\n" + headers(101) + "\r\n", HttpParse::kBad},
      {"plain", "GET /metrics HTTP/1.1\r\n" + kHost + "\r\n", HttpParse::kDone, "/metrics"},
      {"query split off", "GET /a/b?x=1 HTTP/1.1\r\n" + kHost + "\r\n", HttpParse::kDone, "/a/b"},
      {"1.0 closes", "GET / HTTP/1.0\r\n\r\n", HttpParse::kDone, "/", false},
      {"1.0 asks to stay", "GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", HttpParse::kDone,
       "/", true},
      {"close among tokens", "GET / HTTP/1.1\r\n" + kHost + "Connection: foo, Close\r\n\r\n",
       HttpParse::kDone, "/", false},
      {"blank lines before", "\r\n\r\nGET / HTTP/1.1\r\n" + kHost + "\r\n", HttpParse::kDone, "/"},
      {"length", "POST /x HTTP/1.1\r\n" + kHost + "Content-Length:  12 \r\n\r\n", HttpParse::kDone,
       "/x", true, 12},
      {"length twice, same",
       "POST /x HTTP/1.1\r\n" + kHost + "Content-Length: 3\r\ncontent-length: 3\r\n\r\n",
       HttpParse::kDone, "/x", true, 3},
      {"value beyond ASCII", "GET / HTTP/1.1\r\n" + kHost + "X: caf\xc3\xa9\r\n\r\n",
       HttpParse::kDone, "/"},
      {"not yet", "GET / HTTP/1.1\r\n" + kHost, HttpParse::kIncomplete},
      {"half a line", "GET /met", HttpParse::kIncomplete},
      {"length twice, differs",
       "POST /x HTTP/1.1\r\n" + kHost + "Content-Length: 3\r\nContent-Length: 4\r\n\r\n",
       HttpParse::kBad},
      {"length list", "POST /x HTTP/1.1\r\n" + kHost + "Content-Length: 3, 3\r\n\r\n",
       HttpParse::kBad},
      {"length signed", "POST /x HTTP/1.1\r\n" + kHost + "Content-Length: +3\r\n\r\n",
       HttpParse::kBad},
      {"length huge",
       "POST /x HTTP/1.1\r\n" + kHost + "Content-Length: 99999999999999999999\r\n\r\n",
       HttpParse::kBad},
      {"no host on 1.1", "GET / HTTP/1.1\r\n\r\n", HttpParse::kBad},
      {"two hosts", "GET / HTTP/1.1\r\n" + kHost + kHost + "\r\n", HttpParse::kBad},
      {"bare LF", "GET / HTTP/1.1\n" + kHost + "\n", HttpParse::kBad},
      {"LF inside a line", "GET / HTTP/1.1\r\nHost: a\nX: b\r\n\r\n", HttpParse::kBad},
      {"CR inside a line", "GET / HTTP/1.1\r\nHost: a\rX: b\r\n\r\n", HttpParse::kBad},
      {"blank before colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", HttpParse::kBad},
      {"folded line", "GET / HTTP/1.1\r\n" + kHost + "X: a\r\n  b\r\n\r\n", HttpParse::kBad},
      {"no colon", "GET / HTTP/1.1\r\n" + kHost + "X\r\n\r\n", HttpParse::kBad},
      {"control byte in value", "GET / HTTP/1.1\r\n" + kHost + "X: a\x01\r\n\r\n", HttpParse::kBad},
      {"absolute form", "GET http://a/ HTTP/1.1\r\n" + kHost + "\r\n", HttpParse::kBad},
      {"two blanks", "GET  / HTTP/1.1\r\n" + kHost + "\r\n", HttpParse::kBad},
      {"bad method", "G(T / HTTP/1.1\r\n" + kHost + "\r\n", HttpParse::kBad},
      {"lower-case version", "GET / http/1.1\r\n" + kHost + "\r\n", HttpParse::kBad},
      {"short version", "GET / HTTP/1\r\n" + kHost + "\r\n", HttpParse::kBad},
      {"binary at once", std::string("\x16\x03\x01\x02\x00\x01", 6), HttpParse::kBad},
      {"NUL in the first line", std::string("GET /\0", 6), HttpParse::kBad},
      {"chunked", "POST /x HTTP/1.1\r\n" + kHost + "Transfer-Encoding: chunked\r\n\r\n",
       HttpParse::kNotImpl},
      {"version 2", "GET / HTTP/2.0\r\n" + kHost + "\r\n", HttpParse::kVersion},
      {"version 1.2", "GET / HTTP/1.2\r\n" + kHost + "\r\n", HttpParse::kVersion},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.what);
    HttpRequest r;
    size_t used = 0;
    ASSERT_EQ(c.want, http_parse_head(c.head, 8192, &r, &used));
    if (c.want != HttpParse::kDone) continue;
    EXPECT_EQ(c.head.size(), used);
    EXPECT_EQ(c.path, r.path);
    EXPECT_EQ(c.keep_alive, r.keep_alive);
    EXPECT_EQ(c.length, r.content_length);
  }
}

TEST(HttpParse, LimitAndPipelining) {
  std::string one = "GET /a?q HTTP/1.1\r\nHost: a\r\nX-Long: " + std::string(100, 'x') + "\r\n\r\n";
  HttpRequest r;
  size_t used = 0;
  // The limit counts the whole head with its blank line.
  EXPECT_EQ(HttpParse::kDone, http_parse_head(one, one.size(), &r, &used));
  EXPECT_EQ(HttpParse::kTooLarge, http_parse_head(one, one.size() - 1, &r, &used));
  EXPECT_EQ(HttpParse::kTooLarge, http_parse_head(one.substr(0, 60), 60, &r, &used))
      << "no end within the limit: no point reading on";
  // A second request behind the first is left for the next call.
  ASSERT_EQ(HttpParse::kDone, http_parse_head(one + "GET /b HTTP/1.1\r\n", 8192, &r, &used));
  EXPECT_EQ(one.size(), used);
  EXPECT_EQ("GET", r.method);
  EXPECT_EQ("/a?q", r.target);
  EXPECT_EQ("q", r.query);
  ASSERT_NE(nullptr, http_header(r, "x-long"));
  EXPECT_EQ(100u, http_header(r, "x-long")->size());
  EXPECT_EQ(nullptr, http_header(r, "X-Long")) << "names are looked up in lower case";
}

TEST(HttpRoute, MethodsPathsAndSegments) {
  auto h = [](const HttpRequest&) { return HttpResponse(); };
  std::vector<HttpRoute> routes = {{"GET", "/", h},
                                   {"GET", "/api/status", h},
                                   {"POST", "/api/slots/*/park", h},
                                   {"PUT", "/api/status", h}};
  struct Case {
    const char* method;
    const char* path;
    int want;  // the route's index, or the status
    std::vector<std::string> params;
    const char* allow;
  } cases[] = {
      {"GET", "/", 0, {}, ""},
      {"HEAD", "/api/status", 1, {}, ""},
      {"PUT", "/api/status", 3, {}, ""},
      {"POST", "/api/slots/12/park", 2, {"12"}, ""},
      {"GET", "/api/slots/12/park", 405, {}, "POST"},
      {"POST", "/api/status", 405, {}, "GET, HEAD, PUT"},
      {"POST", "/api/slots//park", 404, {}, ""},
      {"POST", "/api/slots/1/2/park", 404, {}, ""},
      {"GET", "/api/status/", 404, {}, ""},
      {"GET", "/api", 404, {}, ""},
      {"GET", "", 404, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    std::vector<std::string> params;
    std::string allow;
    size_t index = 99;
    HttpRouteFound found = http_route_find(routes, c.method, c.path, &index, &params, &allow);
    int got = found == HttpRouteFound::kRoute      ? static_cast<int>(index)
              : found == HttpRouteFound::kNoMethod ? 405
                                                   : 404;
    EXPECT_EQ(c.want, got);
    if (c.want < 100) {
      EXPECT_EQ(c.params, params);
    }
    EXPECT_EQ(c.allow, allow);
  }
}

TEST(HttpAuth, BearerToken) {
  struct Case {
    const char* token;
    const char* header;  // nullptr: none sent
    int want;
  } cases[] = {
      {"", "Bearer ", 403},
      {"", nullptr, 403},
      {"s3cret", nullptr, 401},
      {"s3cret", "Bearer s3cret", 0},
      {"s3cret", "bearer s3cret", 0},
      {"s3cret", "Bearer s3cre", 401},
      {"s3cret", "Bearer s3cret1", 401},
      {"s3cret", "Bearer S3cret", 401},
      {"s3cret", "Basic s3cret", 401},
      {"s3cret", "Bearer", 401},
      {"s3cret", "s3cret", 401},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.token) + " / " + (c.header ? c.header : "(none)"));
    HttpRequest r;
    if (c.header != nullptr) r.headers.push_back({"authorization", c.header});
    EXPECT_EQ(c.want, http_check_bearer(r, c.token));
  }
  EXPECT_TRUE(http_equal_secret("", ""));
  EXPECT_FALSE(http_equal_secret("a", std::string_view("a\0", 2)));
  EXPECT_FALSE(http_equal_secret("ab", "a"));
  HttpResponse refused = http_auth_refusal(401);
  ASSERT_EQ(1u, refused.headers.size());
  EXPECT_EQ("WWW-Authenticate", refused.headers[0].first);
}

TEST(HttpAuth, TokenFile) {
  struct Case {
    std::string text;
    const char* token;  // nullptr: refused
  } cases[] = {
      {"s3cret\nnot this\n", "s3cret"},
      {"  s3cret \r\n", "s3cret"},
      {"s3cret", "s3cret"},
      {std::string(1023, 'k') + "\n", nullptr},  // filled in below
      {" \t \r\nsecond line\n", nullptr},
      {"\ns3cret\n", nullptr},
      {"", nullptr},
      {std::string(1024, 'k') + "\n", nullptr},
      {std::string(5000, 'k'), nullptr},
  };
  std::string path = ::testing::TempDir() + "/token_test";
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case& c = cases[i];
    std::string want = c.token ? c.token : i == 3 ? std::string(1023, 'k') : "";
    SCOPED_TRACE(c.text.substr(0, 40));
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::fwrite(c.text.data(), 1, c.text.size(), f);
    std::fclose(f);
    std::string token;
    std::string why = http_read_token(path, &token);
    EXPECT_EQ(want.empty(), !why.empty()) << why;
    EXPECT_EQ(want, token);
  }
  std::remove(path.c_str());
  std::string token;
  EXPECT_NE("", http_read_token(path, &token)) << "a file that is not there";
}

TEST(HttpResponse, WireTextAndEvents) {
  HttpResponse r;
  r.status = 404;
  r.body = "gone\n";
  r.headers.emplace_back("Allow", "GET");
  EXPECT_EQ(
      "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 5\r\n"
      "Cache-Control: no-store\r\nAllow: GET\r\n\r\ngone\n",
      http_response_text(r, true));
  std::string closing = http_response_text(r, false, true);
  EXPECT_NE(std::string::npos, closing.find("Connection: close\r\n\r\n"));
  EXPECT_EQ(std::string::npos, closing.find("gone")) << "HEAD has no body";
  r.stream = "events";
  r.body = "x";
  EXPECT_EQ(std::string::npos, http_response_text(r, false).find("Content-Length"))
      << "a stream's length is unknown";

  EXPECT_EQ("event: status\ndata: {}\n\n", http_sse_event("status", "{}"));
  EXPECT_EQ("data: a\ndata: b\ndata: c\ndata: \ndata: d\n\n", http_sse_event("", "a\r\nb\rc\n\nd"));
  EXPECT_EQ("data: a\ndata: \n\n", http_sse_event("", "a\n"))
      << "a line end never lets data run into the blank line that ends the event";
}

}  // namespace
