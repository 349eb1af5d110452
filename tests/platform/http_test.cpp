#include "platform/http.h"
#include "platform/log.h"
#include "tests/support/compress.h"
#include "tests/support/http_server.h"
#include "tests/support/wait.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

// Every case opens a session of its own and closes it, and a closed session leaves nothing behind,
// so each case starts from the defaults whatever ran before it in the process.

static std::string log_text() {
  buffer b = log_last_text();
  return std::string((const char *)b.data, b.used);
}

static std::string body_of(u64 n) {
  std::string s(n, 0);
  for (u64 i = 0; i < n; i++) s[i] = (char)('a' + (i * 7 + i / 251) % 26);
  return s;
}

struct download {
  u32 error = 0;
  u64 announced = 0;
  u32 status = 0;
  bool opened = false;
  std::string body;
};

// The calling order of a worker job: open, a buffer of the capacity (the announced length when
// capacity is 0, else 5 MiB), read.
static download fetch(const std::string &url, u64 capacity = 0) {
  download d;
  http_file f = http_file_open(string_from_bytes(url.data(), url.size()), &d.error);
  d.announced = f.content.size;
  d.status = f.status;
  d.opened = f.handle != nullptr;
  if (capacity == 0) capacity = f.content.size ? f.content.size : MiB(5);
  std::vector<u8> memory(capacity);
  f.content.data = memory.data();
  f.content.size = capacity;
  http_file_get(&f, &d.error);
  EXPECT_EQ(f.handle, nullptr);
  d.body.assign((const char *)memory.data(), f.content.used);
  return d;
}

class http : public ::testing::Test {
 protected:
  void SetUp() override {
    http_options o = http_options_default();
    o.connect_timeout_ms = 2000;
    o.low_speed_bytes = 1;
    o.low_speed_seconds = 1;
    o.total_timeout_ms = 30000;
    o.max_redirects = 5;
    http_options_set(o);
    u32 error = 0;
    http_init(string_lit("quillmere"), &error);
    ASSERT_EQ(error, 0u);
  }
  void TearDown() override {
    u32 error = 0;
    http_terminate(&error);
    EXPECT_EQ(error, 0u);
  }
};

// Paths: /len/N and /nolen/N serve N bytes with and without a Content-Length.
static void serve_sized(test_http_connection &c, const std::string &path) {
  bool with_length = path.rfind("/len/", 0) == 0;
  u64 n = std::stoull(path.substr(path.find('/', 1) + 1));
  std::string body = body_of(n);
  if (with_length) c.send_response(200, body);
  else if (c.send_head(200, "")) c.send_text(body);
}

TEST(http_session, open_without_a_session_is_refused) {
  u32 error = 0;
  http_file f = http_file_open(string_lit("http://127.0.0.1/"), &error);
  EXPECT_EQ(error, (u32)http_error_not_initialized);
  EXPECT_EQ(f.handle, nullptr);
  // Terminating without a session leaves the word alone.
  u32 other = 0;
  http_terminate(&other);
  EXPECT_EQ(other, 0u);
  EXPECT_STREQ(http_error_name(10), "http_error_uri_is_not_zero_terminated");
  EXPECT_STREQ(http_error_name(11), "http_error_unknown");
}

// What one session was given (its options, an abandon at quit) ends with it: the next session
// downloads, and follows redirects as far as the defaults allow.
TEST(http_session, a_new_session_starts_from_the_defaults) {
  test_http_server server([](test_http_connection &c, const std::string &path) {
    if (path == "/moved") c.send_head(302, "Location: /here\r\nContent-Length: 0\r\n");
    else c.send_response(200, "here");
  });
  struct end_at_exit {
    ~end_at_exit() {
      u32 error = 0;
      http_terminate(&error);
    }
  } end;
  http_options o = http_options_default();
  o.max_redirects = 0;
  http_options_set(o);
  u32 error = 0;
  http_init(string_lit("quillmere"), &error);
  ASSERT_EQ(error, 0u);
  EXPECT_EQ(fetch(server.url("/moved")).error, (u32)http_error_internet_open_url) << "no redirect allowed";
  http_abandon_all();
  http_terminate(&error);
  ASSERT_EQ(error, 0u);

  http_init(string_lit("quillmere"), &error);
  ASSERT_EQ(error, 0u);
  download d = fetch(server.url("/moved"));
  EXPECT_EQ(d.error, 0u);
  EXPECT_EQ(d.body, "here");
}

TEST_F(http, bodies_fill_buffers_of_every_size_around_their_length) {
  test_http_server server(serve_sized);
  for (u64 n : {1ull, 2ull, 1000ull, 16384ull, 16385ull, 200000ull}) {
    std::string expected = body_of(n);
    for (const char *form : {"/len/", "/nolen/"}) {
      std::string url = server.url(form + std::to_string(n));
      download whole = fetch(url);
      EXPECT_EQ(whole.error, 0u) << url;
      EXPECT_EQ(whole.announced, form[1] == 'l' ? n : 0) << url;
      EXPECT_EQ(whole.status, 200u);
      EXPECT_EQ(whole.body, expected) << url;
      for (u64 capacity : {n - 1, n, n + 1}) {
        if (capacity == 0) continue;
        download d = fetch(url, capacity);
        EXPECT_EQ(d.body, expected.substr(0, capacity)) << url << " into " << capacity;
        EXPECT_EQ(d.error, capacity < n ? (u32)http_error_not_enough_storage : 0u) << url << " into " << capacity;
      }
    }
  }
  EXPECT_EQ(server.last_user_agent(), "quillmere");
}

TEST_F(http, body_beyond_the_announced_length_is_not_taken) {
  test_http_server server([](test_http_connection &c, const std::string &) {
    if (c.send_head(200, "Content-Length: 10\r\n")) c.send_text(body_of(40));
  });
  download d = fetch(server.url("/"));
  EXPECT_EQ(d.error, 0u);
  EXPECT_EQ(d.body, body_of(10));
}

TEST_F(http, body_shorter_than_announced_is_a_read_error) {
  test_http_server server([](test_http_connection &c, const std::string &) {
    if (c.send_head(200, "Content-Length: 100\r\n")) c.send_text(body_of(40));
  });
  download d = fetch(server.url("/"));
  EXPECT_EQ(d.error, (u32)http_error_internet_read_file);
  EXPECT_EQ(d.announced, 100u);
  EXPECT_EQ(d.body, body_of(40));
}

TEST_F(http, endless_body_stops_at_the_first_byte_past_the_buffer) {
  test_http_server server([](test_http_connection &c, const std::string &) {
    if (!c.send_head(200, "")) return;
    std::string chunk = body_of(65536);
    while (c.send_text(chunk)) {
    }
  });
  download d = fetch(server.url("/"), MiB(1));
  EXPECT_EQ(d.error, (u32)http_error_not_enough_storage);
  EXPECT_EQ(d.body.size(), MiB(1));
  EXPECT_NE(log_text().find("http_get_file error: " + server.url("/") + " returned (8) http_error_not_enough_storage"),
            std::string::npos);
}

// A server that never ends its header must neither hold the worker nor fill memory with header
// lines (libcurl bounds a response's header).
TEST_F(http, endless_headers_fail_the_open_soon) {
  test_http_server server([](test_http_connection &c, const std::string &) {
    if (!c.send_text("HTTP/1.1 200 OK\r\n")) return;
    std::string lines;
    for (int i = 0; i < 4096; i++) lines += "X-Filler: 0123456789abcdef0123456789abcdef\r\n";
    while (c.send_text(lines)) {
    }
  });
  auto start = std::chrono::steady_clock::now();
  download d = fetch(server.url("/"));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(d.error, (u32)http_error_internet_open_url);
  EXPECT_FALSE(d.opened);
  EXPECT_LT(seconds, 20.0) << "ended by the header bound, not by a timeout";
  EXPECT_NE(log_text().find("http_get_file error: " + server.url("/") + " returned (5) http_error_internet_open_url: "),
            std::string::npos);
}

// Every compression libcurl can undo is offered and undone; the caller gets the document's own
// bytes, and a compressed length says nothing about them.
TEST_F(http, compressed_bodies_arrive_decompressed) {
  const std::string document = "<rss>" + body_of(100000) + "</rss>";
  struct coding {
    const char *name;  // as the server spells it
    std::string body;
  };
  std::vector<coding> codings = {{"gzip", test_gzip(document)}, {"x-gzip", test_gzip(document)},
                                 {"GZip", test_gzip(document)}, {"identity, gzip", test_gzip(document)}};
  const curl_version_info_data *v = curl_version_info(CURLVERSION_NOW);
  if (v->features & CURL_VERSION_LIBZ) codings.push_back({"deflate", test_deflate(document)});
  else ADD_FAILURE() << "this libcurl undoes no gzip";
  test_http_server server([&](test_http_connection &c, const std::string &path) {
    const coding &k = codings[std::stoul(path.substr(1))];
    bool length = path.find('?') == std::string::npos;
    if (c.send_head(200, std::string("Content-Encoding: ") + k.name + "\r\n" +
                             (length ? "Content-Length: " + std::to_string(k.body.size()) + "\r\n" : "")))
      c.send_text(k.body);
  });
  for (u32 i = 0; i < codings.size(); i++) {
    for (const char *form : {"", "?chunked"}) {
      std::string url = server.url("/" + std::to_string(i) + form);
      download d = fetch(url, MiB(1));
      EXPECT_EQ(d.error, 0u) << codings[i].name << form << "\n" << log_text();
      EXPECT_EQ(d.announced, 0u) << codings[i].name << form;
      EXPECT_TRUE(d.body == document) << codings[i].name << form << ": " << d.body.size() << " bytes";
    }
  }
  std::string request = server.last_request();
  size_t offer = request.find("Accept-Encoding: ");
  ASSERT_NE(offer, std::string::npos) << request;
  EXPECT_NE(request.substr(offer, request.find("\r\n", offer) - offer).find("gzip"), std::string::npos) << request;

  // A body that only says it is compressed fails as it is read, with libcurl's reason.
  test_http_server liar([](test_http_connection &c, const std::string &) {
    c.send_head(200, "Content-Encoding: gzip\r\nContent-Length: 4\r\n") && c.send_text("\x1f\x8b\x08\x00");
  });
  download broken = fetch(liar.url("/"));
  EXPECT_TRUE(broken.opened);
  EXPECT_EQ(broken.error, (u32)http_error_internet_read_file);
  EXPECT_NE(log_text().find(liar.url("/") + " returned (6) http_error_internet_read_file: "), std::string::npos);
}

// Some servers compress in ways nobody asked for; those bytes must not reach the parser as if
// they were the document. Names that are no compression leave the body as it is.
TEST_F(http, a_compression_that_cannot_be_undone_fails_the_open) {
  test_http_server server([](test_http_connection &c, const std::string &path) {
    if (path == "/compress") c.send_head(200, "Content-Encoding: compress\r\nContent-Length: 4\r\n") && c.send_text("\x1f\x9d\x90\x00");
    else if (path == "/listed") c.send_head(200, "Content-Encoding: identity, X-Compress\r\nContent-Length: 2\r\n") && c.send_text("ok");
    else if (path == "/identity") c.send_head(200, "Content-Encoding:  Identity \r\nContent-Length: 2\r\n") && c.send_text("ok");
    else if (path == "/bogus") c.send_head(200, "Content-Encoding: UTF-8\r\nContent-Length: 2\r\n") && c.send_text("ok");
    else if (path == "/bogus-chunked") c.send_head(200, "Content-Encoding: none, binary\r\n") && c.send_text("plain");
    else if (path == "/moved") c.send_head(302, "Location: /identity\r\nContent-Encoding: compress\r\nContent-Length: 0\r\n");
  });
  for (const char *path : {"/compress", "/listed"}) {
    download d = fetch(server.url(path));
    EXPECT_EQ(d.error, (u32)http_error_internet_open_url) << path;
    EXPECT_FALSE(d.opened) << path;
    EXPECT_NE(log_text().find(server.url(path) + " returned (5) http_error_internet_open_url: the server sent the body "
                                                 "compressed (Content-Encoding) without being asked"),
              std::string::npos)
        << path;
  }
  download identity = fetch(server.url("/identity"));
  EXPECT_EQ(identity.error, 0u);
  EXPECT_EQ(identity.body, "ok");
  for (const char *path : {"/bogus", "/bogus-chunked"}) {
    download bogus = fetch(server.url(path));
    EXPECT_EQ(bogus.error, 0u) << path << ": a value that names no compression leaves the body as it is\n" << log_text();
    EXPECT_EQ(bogus.body, path == std::string("/bogus") ? "ok" : "plain") << path;
  }
  download moved = fetch(server.url("/moved"));
  EXPECT_EQ(moved.error, 0u) << "only the final response's coding counts";
  EXPECT_EQ(moved.body, "ok");
}

// The limit bounds what the caller gets, so a small body that inflates past it is refused at the
// limit, and one that inflates to exactly the limit arrives whole.
TEST_F(http, a_compressed_body_that_inflates_past_the_limit_is_refused_at_the_limit) {
  const std::string at_limit = test_gzip(std::string(HTTP_BODY_MAX, '\0'));
  const std::string above = test_gzip(std::string(HTTP_BODY_MAX + 1, '\0'));
  ASSERT_LT(above.size(), MiB(1)) << "a bomb: a small body";
  test_http_server server([&](test_http_connection &c, const std::string &path) {
    const std::string &body = path == "/above" ? above : at_limit;
    if (c.send_head(200, "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"))
      c.send_text(body);
  });
  download whole = fetch(server.url("/at"), HTTP_BODY_MAX);
  EXPECT_EQ(whole.error, 0u);
  EXPECT_EQ(whole.body.size(), HTTP_BODY_MAX);
  download bomb = fetch(server.url("/above"), HTTP_BODY_MAX);
  EXPECT_EQ(bomb.error, (u32)http_error_not_enough_storage);
  EXPECT_EQ(bomb.body.size(), HTTP_BODY_MAX);
  EXPECT_NE(log_text().find(server.url("/above") + " returned (8) http_error_not_enough_storage: the decoded body is "
                                                   "longer than the limit of 64 MiB for a download\n"),
            std::string::npos)
      << log_text();
}

TEST_F(http, a_header_line_too_long_for_libcurl_is_named_in_the_log) {
  test_http_server server([](test_http_connection &c, const std::string &) {
    c.send_text("HTTP/1.1 200 OK\r\nX-Long: " + std::string(200000, 'y') + "\r\nContent-Length: 2\r\n\r\nok");
  });
  download d = fetch(server.url("/"));
  EXPECT_EQ(d.error, (u32)http_error_internet_open_url);
  EXPECT_NE(log_text().find(server.url("/") + " returned (5) http_error_internet_open_url: the response's header could "
                                              "not be taken: a header line is longer than 100 KB"),
            std::string::npos)
      << log_text();
}

TEST_F(http, a_body_cut_off_after_the_header_is_a_read_error) {
  test_http_server server([](test_http_connection &c, const std::string &path) {
    if (path == "/none") c.send_head(200, "Content-Length: 100\r\n");
    if (path == "/redirected") c.send_head(302, "Location: /none\r\nContent-Length: 0\r\n");
    if (path == "/gone") c.send_head(301, "Location: /nowhere\r\nContent-Length: 0\r\n");
    // The connection closes here.
  });
  for (const char *path : {"/none", "/redirected"}) {
    std::string url = server.url(path);
    download d = fetch(url);
    EXPECT_TRUE(d.opened) << path;
    EXPECT_EQ(d.announced, 100u) << path;
    EXPECT_EQ(d.status, 200u) << path;
    EXPECT_EQ(d.error, (u32)http_error_internet_read_file) << path;
    EXPECT_TRUE(d.body.empty()) << path;
    EXPECT_NE(log_text().find("http_get_file error: " + url + " returned (6) http_error_internet_read_file"),
              std::string::npos)
        << log_text();
  }
  // A redirect whose target never answers with a header has not opened.
  download gone = fetch(server.url("/gone"));
  EXPECT_FALSE(gone.opened);
  EXPECT_EQ(gone.error, (u32)http_error_internet_open_url);
}

TEST_F(http, announced_lengths_that_are_not_plain_numbers_count_as_absent) {
  test_http_server server([](test_http_connection &c, const std::string &path) {
    std::string value = path == "/negative" ? "-5" : path == "/words" ? "many" : "12abc";
    if (c.send_head(200, "Content-Length: " + value + "\r\n")) c.send_text(body_of(30));
  });
  for (const char *path : {"/negative", "/words", "/suffix"}) {
    u32 error = 0;
    std::string url = server.url(path);
    http_file f = http_file_open(string_from_bytes(url.data(), url.size()), &error);
    // Nothing is ever reserved from such a header.
    EXPECT_EQ(f.content.size, 0u) << path;
    std::vector<u8> memory(64);
    f.content = buffer_make(memory.size(), 0, memory.data());
    http_file_get(&f, &error);
    EXPECT_EQ(f.handle, nullptr);
    if (std::string(path) == "/suffix") {
      // The number before the junk still bounds the body on the wire.
      EXPECT_EQ(error, 0u);
      EXPECT_EQ(std::string((const char *)memory.data(), f.content.used), body_of(12));
    } else {
      // A length that is no number at all leaves the reply malformed.
      EXPECT_EQ(error, (u32)http_error_internet_open_url) << path;
    }
  }
}

TEST_F(http, announced_length_above_the_limit_fails_at_the_open) {
  test_http_server server([](test_http_connection &c, const std::string &path) {
    std::string value = path == "/huge" ? "99999999999999999999999" : std::to_string(HTTP_BODY_MAX + 1);
    if (c.send_head(200, "Content-Length: " + value + "\r\n")) c.send_text(body_of(30));
  });
  for (const char *path : {"/huge", "/above"}) {
    u32 error = 0;
    std::string url = server.url(path);
    http_file f = http_file_open(string_from_bytes(url.data(), url.size()), &error);
    EXPECT_EQ(error, (u32)http_error_not_enough_storage) << path;
    EXPECT_EQ(f.handle, nullptr);
    EXPECT_EQ(f.content.size, 0u);
  }
}

TEST_F(http, stalled_servers_end_in_an_error) {
  test_http_server server([](test_http_connection &c, const std::string &path) {
    if (path == "/head") {
      c.send_head(200, "Content-Length: 100\r\n");
    } else if (path == "/body") {
      if (c.send_head(200, "Content-Length: 100\r\n")) c.send_text(body_of(10));
    }
    c.stall();
  });
  download silent = fetch(server.url("/silent"));
  EXPECT_EQ(silent.error, (u32)http_error_internet_open_url);
  EXPECT_FALSE(silent.opened);
  // Once the whole header has come the URL is open: what fails after it is the read.
  download head = fetch(server.url("/head"));
  EXPECT_TRUE(head.opened);
  EXPECT_EQ(head.announced, 100u);
  EXPECT_EQ(head.error, (u32)http_error_internet_read_file);
  EXPECT_TRUE(head.body.empty());
  download body = fetch(server.url("/body"));
  EXPECT_TRUE(body.opened);
  EXPECT_EQ(body.announced, 100u);
  EXPECT_EQ(body.error, (u32)http_error_internet_read_file);
  EXPECT_EQ(body.body, body_of(10));
}

// Slow servers hold a transfer for as long as the timeouts allow; abandoning ends every one of
// them at once, wherever it stands, and refuses new ones until it is cleared.
TEST_F(http, abandoning_ends_stalled_and_trickling_transfers_at_once) {
  http_options o = http_options_get();
  o.low_speed_seconds = 60;
  o.total_timeout_ms = 120000;
  http_options_set(o);
  // Each slow route tells when the client stands where the test wants it: the request read, the
  // header taken (the open has seen it), the header and a first byte of the body taken.
  std::atomic<u32> standing{0};
  test_http_server server([&](test_http_connection &c, const std::string &path) {
    if (path == "/trickle") {
      if (!c.send_head(200, "Content-Length: 100000\r\n") || !c.send_text("x")) return;
      if (c.wait_until_taken()) standing++;
      while (c.send_text("x")) usleep(50000);
    } else if (path == "/head") {
      if (!c.send_head(200, "Content-Length: 100\r\n")) return;
      if (c.wait_until_taken()) standing++;
      c.stall();
    } else if (path == "/ok") {
      c.send_response(200, "done");
    } else {
      standing++;
      c.stall();
    }
  });
  const char *paths[] = {"/silent", "/head", "/trickle"};
  download results[3];
  std::vector<std::thread> workers;
  // On every way out the transfers end and their threads are joined.
  struct join_at_exit {
    std::vector<std::thread> &workers;
    ~join_at_exit() {
      http_abandon_all();
      for (auto &w : workers) w.join();
    }
  } join{workers};
  for (u32 i = 0; i < 3; i++) workers.emplace_back([&, i] { results[i] = fetch(server.url(paths[i])); });
  ASSERT_TRUE(test_wait_until([&] { return standing.load() == 3; })) << "the transfers never got under way";
  // Far below the minute the low-speed limit would take: nothing waited for a timeout.
  auto start = std::chrono::steady_clock::now();
  http_abandon_all();
  for (auto &w : workers) w.join();
  workers.clear();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1) + test_deadline_margin);
  EXPECT_EQ(results[0].error, (u32)http_error_internet_open_url);
  EXPECT_EQ(results[1].error, (u32)http_error_internet_read_file);
  EXPECT_EQ(results[2].error, (u32)http_error_internet_read_file);
  EXPECT_FALSE(results[2].body.empty());
  EXPECT_NE(log_text().find("abandoned, the program is quitting"), std::string::npos);
  // Nothing new is started: the server sees no request.
  download late = fetch(server.url("/ok"));
  EXPECT_EQ(late.error, (u32)http_error_internet_open_url);
  EXPECT_FALSE(late.opened);
  EXPECT_EQ(server.requests(), 3);
  http_abandon_clear();
  download again = fetch(server.url("/ok"));
  EXPECT_EQ(again.error, 0u);
  EXPECT_EQ(again.body, "done");
  server.stop();
}

TEST_F(http, redirects_are_followed_to_a_bound) {
  test_http_server server([](test_http_connection &c, const std::string &path) {
    if (path.rfind("/chain/", 0) == 0) {
      int n = std::stoi(path.substr(7));
      if (n == 0) {
        c.send_response(200, "the end");
        return;
      }
      c.send_head(n % 2 ? 301 : 302, "Location: /chain/" + std::to_string(n - 1) + "\r\nContent-Length: 5\r\n");
      c.send_text("moved");
    } else if (path == "/loop") {
      c.send_head(302, "Location: /loop\r\nContent-Length: 0\r\n");
    } else if (path == "/elsewhere") {
      c.send_head(302, "Location: file:///etc/hostname\r\nContent-Length: 0\r\n");
    }
  });
  download chain = fetch(server.url("/chain/4"));
  EXPECT_EQ(chain.error, 0u);
  EXPECT_EQ(chain.status, 200u);
  EXPECT_EQ(chain.announced, 7u);
  EXPECT_EQ(chain.body, "the end");

  download loop = fetch(server.url("/loop"));
  EXPECT_EQ(loop.error, (u32)http_error_internet_open_url);
  EXPECT_LE(server.requests(), 5 + 6 + 1);

  download elsewhere = fetch(server.url("/elsewhere"));
  EXPECT_EQ(elsewhere.error, (u32)http_error_internet_open_url);
}

TEST_F(http, error_statuses_fail_the_download_and_log_the_status) {
  test_http_server server([](test_http_connection &c, const std::string &path) {
    c.send_response(std::stoi(path.substr(1)), "<html>an error page</html>");
  });
  for (int status : {404, 500}) {
    std::string url = server.url("/" + std::to_string(status));
    download d = fetch(url);
    EXPECT_EQ(d.error, (u32)http_error_internet_open_url);
    EXPECT_EQ(d.status, (u32)status);
    EXPECT_TRUE(d.body.empty());
    EXPECT_NE(log_text().find("http_get_file error: " + url + " returned (5) http_error_internet_open_url: HTTP status " +
                              std::to_string(status) + "\n"),
              std::string::npos)
        << log_text();
  }
}

TEST_F(http, refused_connections_and_bad_urls_fail_the_open) {
  download refused = fetch("http://127.0.0.1:" + std::to_string(test_http_server::unused_port()) + "/");
  EXPECT_EQ(refused.error, (u32)http_error_internet_open_url);
  EXPECT_FALSE(refused.opened);
  download scheme = fetch("file:///etc/hostname");
  EXPECT_EQ(scheme.error, (u32)http_error_internet_open_url);
  std::string too_long = "http://127.0.0.1/" + std::string(HTTP_TEXT_AREA_SIZE, 'a');
  download long_url = fetch(too_long);
  EXPECT_EQ(long_url.error, (u32)http_error_internet_open_url);
  std::string with_zero("http://127.0.0.1/a\0b", 20);
  download zero = fetch(with_zero);
  EXPECT_EQ(zero.error, (u32)http_error_internet_open_url);
}

// Leaks of an open URL would show in the sanitizer's report at the end of the process.
TEST_F(http, get_closes_the_url_whatever_happened_since_the_open) {
  test_http_server server(serve_sized);
  std::string url = server.url("/len/100");
  {
    u32 error = 0;
    http_file f = http_file_open(string_from_bytes(url.data(), url.size()), &error);
    ASSERT_NE(f.handle, nullptr);
    http_file_get(&f, &error);
    EXPECT_EQ(error, (u32)http_error_file_storage_not_initialized);
    EXPECT_EQ(f.handle, nullptr);
  }
  {
    u32 error = 0;
    http_file f = http_file_open(string_from_bytes(url.data(), url.size()), &error);
    ASSERT_NE(f.handle, nullptr);
    error = 77;  // a failure of the caller's own between open and read
    u8 memory[100];
    f.content = buffer_make(sizeof memory, 0, memory);
    http_file_get(&f, &error);
    EXPECT_EQ(error, 77u);
    EXPECT_EQ(f.handle, nullptr);
  }
  {
    u32 error = 0;
    http_file none = {};
    http_file_get(&none, &error);
    EXPECT_EQ(error, (u32)http_error_file_not_opened);
  }
}

TEST_F(http, empty_body_gives_an_empty_download) {
  test_http_server server([](test_http_connection &c, const std::string &) { c.send_response(200, ""); });
  download d = fetch(server.url("/"));
  EXPECT_EQ(d.error, 0u);
  EXPECT_EQ(d.announced, 0u);
  EXPECT_TRUE(d.body.empty());
}
