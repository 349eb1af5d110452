#include "tests/reader/fetch_fixture.h"
#include "tests/support/compress.h"
#include "tests/support/http_server.h"
#include "tests/support/wait.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>

static std::string log_text() {
  buffer b = log_last_text();
  return std::string((const char *)b.data, b.used);
}

static std::string temp_path(const std::string &name) {
  return "/tmp/quillmere_fetch_" + std::to_string(getpid()) + "_" + name;
}

static void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

TEST_F(Fetch, a_url_is_trimmed_copied_and_queued_for_a_new_feed) {
  u32 start = r.generation;
  EXPECT_EQ(app_add_feed(&context, &r, text_of(" \thttp://x.example/feed \r\n")), fetch_request_queued);
  EXPECT_EQ(r.generation, start + 1);
  query *q = &fetch_slots[0];
  EXPECT_EQ(q->state, (u32)query_state_queued);
  EXPECT_EQ(to_std(q->url), "http://x.example/feed");
  EXPECT_EQ(q->url.size, q->url.used + 1);
  EXPECT_EQ(q->url.data[q->url.used], 0);
  EXPECT_EQ(q->feed_id, -1);
  EXPECT_EQ(q->wake, fetch_count_wake);
  // Later requests of the run join the generation.
  EXPECT_EQ(app_add_feed(&context, &r, text_of("/some/path")), fetch_request_queued);
  EXPECT_EQ(r.generation, start + 1);
  EXPECT_EQ(fetch_queue.queued_count.load(), 2u);
  EXPECT_TRUE(query_pending_for_feed(fetch_slots, FETCH_QUERY_COUNT, -1));
}

TEST_F(Fetch, texts_without_a_url_take_no_slot_but_open_the_generation) {
  u32 start = r.generation;
  for (const char *text : {"", " ", "\t\r\n\v\f "}) {
    EXPECT_EQ(app_add_feed(&context, &r, text_of(text)), fetch_request_nothing);
  }
  EXPECT_EQ(r.generation, start + 1);
  EXPECT_EQ(count_in_state(query_state_queued), 0u);
}

TEST_F(Fetch, a_url_already_in_the_store_updates_that_feed) {
  add_feed(feed_type_rss, "https://a.example/rss");
  feed *b = add_feed(feed_type_atom, "https://b.example/atom");
  EXPECT_EQ(app_add_feed(&context, &r, text_of("  https://b.example/atom  ")), fetch_request_queued);
  EXPECT_EQ(fetch_slots[0].feed_id, (s32)b->id);
  EXPECT_TRUE(query_pending_for_feed(fetch_slots, FETCH_QUERY_COUNT, (s32)b->id));
  EXPECT_FALSE(query_pending_for_feed(fetch_slots, FETCH_QUERY_COUNT, -1));
  // A prefix of a stored URL is another feed.
  EXPECT_EQ(app_add_feed(&context, &r, text_of("https://b.example/ato")), fetch_request_queued);
  EXPECT_EQ(fetch_slots[1].feed_id, -1);
}

TEST_F(Fetch, video_site_pages_become_their_feed_urls) {
  const std::string feeds = "https://www.youtube.com/feeds/videos.xml";
  struct {
    const char *text;
    std::string url;
  } cases[] = {
      {"https://www.youtube.com/c/SomeName", feeds + "?user=SomeName"},
      {"https://www.youtube.com/c/OtherName/videos", feeds + "?user=OtherName"},
      {"youtube.com/user/old_style?sub_confirmation=1", feeds + "?user=old_style"},
      {"https://m.youtube.com/channel/UC123abc?view=0&x=1", feeds + "?channel_id=UC123abc"},
      {"  https://www.youtube.com/channel/UC9 \r", feeds + "?channel_id=UC9"},
      // The first pattern of the table wins, not the first one in the text.
      {"youtube.com/channel/ID/youtube.com/c/NAME", feeds + "?user=NAME"},
      {"https://example.org/c/notvideo", "https://example.org/c/notvideo"},
      {"https://www.youtube.com/watch?v=abc", "https://www.youtube.com/watch?v=abc"},
  };
  for (auto &c : cases) {
    ASSERT_EQ(app_add_feed(&context, &r, text_of(c.text)), fetch_request_queued) << c.text;
  }
  std::vector<std::string> expected;
  for (auto &c : cases) expected.push_back(c.url);
  EXPECT_EQ(queued_urls(), expected);

  // A feed URL that does not fit the area is no rewrite; the area keeps nothing of it.
  std::string long_name = "youtube.com/c/" + std::string(FETCH_URL_AREA_SIZE, 'n');
  u8 area[FETCH_URL_AREA_SIZE];
  buffer out = buffer_make(sizeof area, 0, area);
  EXPECT_FALSE(fetch_rewrite_video_site(text_of(long_name), &out));
  EXPECT_EQ(out.used, 0u);
  EXPECT_FALSE(fetch_rewrite_video_site(text_of("youtube.co/c/x"), &out));
}

TEST_F(Fetch, list_files_give_one_request_per_line) {
  std::string path = temp_path("list.txt");
  write_file(path, "\xEF\xBB\xBF" "http://a.example/1\r\n\r\n   http://b.example/2  \r\n\t\n"
                   "http://c.example/3\n\n\nhttp://d.example/4 \r\r\n  \n/local/file\r\n   ");
  u32 error = 0;
  EXPECT_EQ(app_add_feeds_from_file(&context, &r, text_of(path), &error), 5u);
  EXPECT_EQ(error, 0u);
  std::vector<std::string> expected = {"http://a.example/1", "http://b.example/2", "http://c.example/3",
                                       "http://d.example/4", "/local/file"};
  EXPECT_EQ(queued_urls(), expected);
  unlink(path.c_str());

  // A missing file adds nothing and leaves its code in the shared word; a set word stops later imports.
  EXPECT_EQ(app_add_feeds_from_file(&context, &r, text_of(path), &error), 0u);
  EXPECT_EQ(error, (u32)file_error_open);
  write_file(path, "http://e.example/5\n");
  EXPECT_EQ(app_add_feeds_from_file(&context, &r, text_of(path), &error), 0u);
  EXPECT_EQ(queued_urls().size(), 5u);
  unlink(path.c_str());
}

TEST_F(Fetch, a_list_longer_than_the_free_slots_stops_without_leaving_anything) {
  // Some slots are already taken by finished downloads.
  for (u32 i = 0; i < 10; i++) fetch_slots[i].state = query_state_done;
  std::string list;
  for (u32 i = 0; i < FETCH_QUERY_COUNT + 50; i++) list += "http://feeds.example/" + std::to_string(i) + "\n";
  list += "\r\n  \n";
  for (u32 i = 0; i < 10; i++) list += "  http://more.example/" + std::to_string(i) + "\r\n";
  std::string path = temp_path("long.txt");
  write_file(path, list);
  u32 error = 0;
  EXPECT_EQ(app_add_feeds_from_file(&context, &r, text_of(path), &error), FETCH_QUERY_COUNT - 10);
  unlink(path.c_str());
  EXPECT_EQ(count_in_state(query_state_queued), FETCH_QUERY_COUNT - 10);
  EXPECT_EQ(fetch_queue.queued_count.load(), (u64)FETCH_QUERY_COUNT - 10);
  EXPECT_EQ(urls_in_use(), (FETCH_QUERY_COUNT - 10) * 128u);
  EXPECT_NE(log_text().find("every fetch slot is busy: http://feeds.example/1014\n"), std::string::npos);
  EXPECT_NE(log_text().find("List file: 70 lines from the refused one on were not added"), std::string::npos)
      << "the refused line and the 69 after it, blank lines not counted";
}

// A wrong file chosen (a binary one) once had every "line" fetched as a local path and its raw
// bytes logged. Lines that no address can be are passed over; the first 20 are logged with their
// numbers, then only how many there were.
TEST_F(Fetch, list_lines_that_are_no_text_are_passed_over_and_reported_the_first_20_then_by_count) {
  std::string list = "http://a.example/1\r\n";  // line 1
  std::vector<std::string> shown;
  u32 bad = 0;
  for (u32 i = 0; i < 30; i++) {
    u32 line = 2 + 2 * i;
    // Line ends of every kind between them, and one good line after each bad one.
    const char *ends[] = {"\n", "\r\n", "\r"};
    std::string junk = i % 3 == 0 ? std::string("PK\x03\x04\x14", 5) + std::to_string(i)
                       : i % 3 == 1 ? "\xFF\xFE" + std::to_string(i)
                                    : std::string("x\0y", 3) + std::to_string(i);
    list += junk + ends[i % 3];
    list += "  http://good.example/" + std::to_string(i) + " " + ends[(i + 1) % 3];
    if (++bad <= 20) shown.push_back("List file: line " + std::to_string(line) + " not added");
  }
  list += "\n\n/local/feed.xml";
  std::string path = temp_path("binary.txt");
  write_file(path, list);
  u64 before = log_last_text().used;
  u32 error = 0;
  EXPECT_EQ(app_add_feeds_from_file(&context, &r, text_of(path), &error), 32u);
  unlink(path.c_str());
  std::string logged = log_text().substr(before);
  size_t at = 0;
  for (const std::string &line : shown) {
    size_t found = logged.find(line + ",", at);
    ASSERT_NE(found, std::string::npos) << line << " in " << logged;
    at = found + line.size();
  }
  EXPECT_EQ(logged.find("line 62 not added"), std::string::npos) << "only the first 20 one by one";
  EXPECT_NE(logged.find("List file: 30 lines not added in all"), std::string::npos) << logged;
  // The log shows what was in the line, as text.
  EXPECT_NE(logged.find("PK\\x03\\x04\\x14" "0\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find("x\\x00y5\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find("\xEF\xBF\xBD\xEF\xBF\xBD" "1\n"), std::string::npos) << logged;
  std::vector<std::string> urls = queued_urls();
  EXPECT_EQ(urls.front(), "http://a.example/1");
  EXPECT_EQ(urls.back(), "/local/feed.xml");
}

// A binary file chosen as a list had its chance fragments between line ends fetched as paths and
// the rest reported line by line: such a file, or one in UTF-16, is refused whole, in one line.
TEST_F(Fetch, a_list_file_that_is_not_text_is_refused_whole_in_one_log_line) {
  std::mt19937 rng(7);
  std::string binary(MiB(1), '\0');
  for (char &c : binary) c = (char)(rng() & 0xFF);
  std::string utf16;
  for (char c : std::string("http://a.example/1\r\nhttp://b.example/2\r\n")) utf16 += std::string(1, c) + '\0';
  for (const std::string &bytes : {binary, "\xFF\xFE" + utf16}) {
    std::string path = temp_path("not_a_list.bin");
    write_file(path, bytes);
    u64 before = log_last_text().used;
    u32 error = 0;
    EXPECT_EQ(app_add_feeds_from_file(&context, &r, text_of(path), &error), 0u);
    unlink(path.c_str());
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(count_in_state(query_state_queued), 0u);
    EXPECT_EQ(urls_in_use(), 0u);
    std::string logged = log_text().substr(before);
    EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1) << logged.substr(0, 2000);
    EXPECT_EQ(logged.rfind("List file not read, it is not text: ", 0), 0u) << logged.substr(0, 2000);
    EXPECT_NE(logged.find(": " + path + "\n"), std::string::npos) << logged.substr(0, 2000);
  }
}

// The requests of a list once compared each line with every slot and looked for a free slot from
// the first: work that grew with the square of the list below the 1,024 slots.
TEST_F(Fetch, a_list_costs_work_in_proportion_to_its_lines) {
  auto work_of = [&](const std::string &list) {
    std::string path = temp_path("work.txt");
    write_file(path, list);
    u64 before = context.slots_examined;
    u32 error = 0;
    app_add_feeds_from_file(&context, &r, text_of(path), &error);
    unlink(path.c_str());
    u64 work = context.slots_examined - before;
    thread_complete_queue(&fetch_queue);
    for (query &q : fetch_slots)
      if (q.state == query_state_done) query_release(&q, &urls);
    return work;
  };
  auto distinct = [](u32 n) {
    std::string list;
    for (u32 i = 0; i < n; i++) list += "http://feeds.example/" + std::to_string(i) + "\n";
    return list;
  };
  auto repeated = [](u32 n) {
    std::string list;
    for (u32 i = 0; i < n; i++) list += "http://feeds.example/" + std::to_string(i % 100) + "\n";
    return list;
  };
  // Feeds in the store make the lines updates of them, looked up by feed as well.
  for (u32 i = 0; i < 50; i++) add_feed(feed_type_rss, "http://feeds.example/" + std::to_string(i));
  for (auto shape : {+distinct, +repeated}) {
    u64 n = work_of(shape(250)), n4 = work_of(shape(1000));
    EXPECT_LE(n4, 4 * n) << n << " then " << n4;
    EXPECT_GT(n4, n);
  }
  u64 n = work_of(repeated(4000)), n4 = work_of(repeated(16000));
  EXPECT_LE(n4, 4 * n) << n << " then " << n4;
}

static void do_nothing(void *) {}

TEST_F(Fetch, a_full_worker_queue_frees_the_slot_and_the_url_copy) {
  for (u32 i = 0; i < THREAD_QUEUE_SIZE - 3; i++) ASSERT_EQ(thread_queue_work(&fetch_queue, do_nothing, nullptr), 1u);
  std::string path = temp_path("few.txt");
  write_file(path, "/a\n/b\n/c\n/d\n/e\n");
  u32 error = 0;
  EXPECT_EQ(app_add_feeds_from_file(&context, &r, text_of(path), &error), 3u);
  unlink(path.c_str());
  EXPECT_EQ(queued_urls(), (std::vector<std::string>{"/a", "/b", "/c"}));
  EXPECT_EQ(fetch_slots[3].state, (u32)query_state_free);
  EXPECT_EQ(fetch_slots[3].url.data, nullptr);
  EXPECT_EQ(urls_in_use(), 3 * 128u);
  EXPECT_NE(log_text().find("the worker queue is full: /d\n"), std::string::npos);
  // Single requests are refused the same way.
  EXPECT_EQ(app_add_feed(&context, &r, text_of("/f")), fetch_request_refused);
  EXPECT_EQ(urls_in_use(), 3 * 128u);
}

TEST_F(Fetch, updating_all_feeds_skips_those_marked_deleted) {
  u32 start = r.generation;
  feed *a = add_feed(feed_type_rss, "https://a.example/");
  feed *b = add_feed(feed_type_rss, "https://b.example/");
  feed *c = add_feed(feed_type_atom, "https://c.example/");
  reader_mark_feed_deleted(&r, b);
  EXPECT_EQ(app_update_all_feeds(&context, &r), 2u);
  EXPECT_EQ(r.generation, start + 1);
  EXPECT_TRUE(query_pending_for_feed(fetch_slots, FETCH_QUERY_COUNT, (s32)a->id));
  EXPECT_FALSE(query_pending_for_feed(fetch_slots, FETCH_QUERY_COUNT, (s32)b->id));
  EXPECT_TRUE(query_pending_for_feed(fetch_slots, FETCH_QUERY_COUNT, (s32)c->id));
  // A single update opens no generation of its own.
  thread_complete_queue(&fetch_queue);
  for (query &q : fetch_slots)
    if (q.state == query_state_done) query_release(&q, &urls);
  EXPECT_TRUE(app_update_feed(&context, &r, a));
  EXPECT_EQ(r.generation, start + 1);
  // The application's own generation step is used when it installs one.
  static u32 opened;
  opened = 0;
  context.start_generation = r.generation;
  context.new_generation = [](reader *rr) {
    opened++;
    rr->generation += 10;
  };
  app_add_feed(&context, &r, text_of("/x"));
  app_add_feed(&context, &r, text_of("/y"));
  EXPECT_EQ(opened, 1u);
  EXPECT_EQ(r.generation, start + 11);
  thread_complete_queue(&fetch_queue);
}

TEST_F(Fetch, a_feed_or_url_already_queued_is_not_queued_again) {
  feed *a = add_feed(feed_type_rss, "https://a.example/");
  feed *b = add_feed(feed_type_atom, "https://b.example/");
  add_feed(feed_type_rss, "https://c.example/");
  EXPECT_EQ(app_update_all_feeds(&context, &r), 3u);
  // "Update all" pressed again, and again: nothing more is queued.
  EXPECT_EQ(app_update_all_feeds(&context, &r), 0u);
  EXPECT_EQ(app_update_all_feeds(&context, &r), 0u);
  EXPECT_FALSE(app_update_feed(&context, &r, b));
  // Adding a stored feed's URL is an update of it, already on its way.
  EXPECT_EQ(app_add_feed(&context, &r, text_of("https://a.example/")), fetch_request_pending);
  EXPECT_EQ(count_in_state(query_state_queued), 3u);
  EXPECT_EQ(fetch_queue.queued_count.load(), 3u);
  EXPECT_EQ(urls_in_use(), 3 * 128u);
  // A new URL given twice before its first download ends is fetched once.
  EXPECT_EQ(app_add_feed(&context, &r, text_of("https://new.example/")), fetch_request_queued);
  EXPECT_EQ(app_add_feed(&context, &r, text_of(" https://new.example/")), fetch_request_pending);
  std::string path = temp_path("twice.txt");
  write_file(path, "https://new.example/\nhttps://b.example/\nhttps://d.example/\n");
  u32 error = 0;
  EXPECT_EQ(app_add_feeds_from_file(&context, &r, text_of(path), &error), 1u);  // the list goes on past them
  unlink(path.c_str());
  EXPECT_EQ(count_in_state(query_state_queued), 5u);
  // Once its download is done, the feed can be fetched again.
  thread_complete_queue(&fetch_queue);
  for (query &q : fetch_slots)
    if (q.state == query_state_done) query_release(&q, &urls);
  EXPECT_TRUE(app_update_feed(&context, &r, a));
  EXPECT_EQ(app_update_all_feeds(&context, &r), 2u);
}

TEST_F(Fetch, a_list_file_above_its_limit_is_refused_unread) {
  std::string above = temp_path("huge_list.txt");
  write_file(above, "http://feeds.example/a\n");
  ASSERT_EQ(truncate(above.c_str(), (off_t)FETCH_LIST_FILE_MAX + 1), 0);
  u32 error = 0;
  EXPECT_EQ(app_add_feeds_from_file(&context, &r, text_of(above), &error), 0u);
  unlink(above.c_str());
  EXPECT_EQ(error, (u32)file_error_too_large);
  EXPECT_EQ(count_in_state(query_state_queued), 0u);
  EXPECT_NE(log_text().find("List file not read, it is larger than the limit of 16 MiB for a list file: " + above + "\n"),
            std::string::npos);
}

TEST_F(Fetch, a_local_file_above_the_document_limit_is_refused_unread) {
  // Sparse files: their size costs no disk.
  std::string at_limit = temp_path("at_limit.xml"), above = temp_path("above.xml");
  ASSERT_EQ(truncate((write_file(at_limit, ""), at_limit.c_str()), (off_t)FETCH_DOCUMENT_MAX), 0);
  ASSERT_EQ(truncate((write_file(above, ""), above.c_str()), (off_t)FETCH_DOCUMENT_MAX + 1), 0);
  ASSERT_EQ(app_add_feed(&context, &r, text_of(at_limit)), fetch_request_queued);
  ASSERT_EQ(app_add_feed(&context, &r, text_of(above)), fetch_request_queued);
  finish(&fetch_slots[0]);
  finish(&fetch_slots[1]);
  unlink(at_limit.c_str());
  unlink(above.c_str());
  EXPECT_EQ(fetch_slots[0].error, 0u);
  EXPECT_EQ(fetch_slots[0].result.used, FETCH_DOCUMENT_MAX);
  EXPECT_EQ(fetch_slots[1].error, (u32)file_error_too_large);
  EXPECT_EQ(fetch_slots[1].result.data, nullptr);
  EXPECT_STREQ(file_error_name(file_error_too_large), "file_error_too_large");
  EXPECT_NE(log_text().find("larger than the limit of 64 MiB for a feed document: " + above + "\n"),
            std::string::npos);
}

TEST_F(Fetch, local_files_are_read_whole_or_fail_with_their_file_error) {
  std::string path = temp_path("feed.xml");
  write_file(path, "<rss version=\"2.0\"></rss>");
  ASSERT_EQ(app_add_feed(&context, &r, text_of(path)), fetch_request_queued);
  ASSERT_EQ(app_add_feed(&context, &r, text_of(path + ".missing")), fetch_request_queued);
  finish(&fetch_slots[0]);
  finish(&fetch_slots[1]);
  unlink(path.c_str());
  EXPECT_EQ(fetch_slots[0].error, 0u);
  EXPECT_EQ(to_std(fetch_slots[0].result), "<rss version=\"2.0\"></rss>");
  EXPECT_EQ(fetch_slots[1].error, (u32)file_error_open);
  EXPECT_EQ(fetch_slots[1].result.data, nullptr);
  EXPECT_EQ(fetch_wakes.load(), 2u);
  EXPECT_FALSE(query_pending_for_feed(fetch_slots, FETCH_QUERY_COUNT, -1));
  query_release(&fetch_slots[0], &urls);
  EXPECT_EQ(fetch_slots[0].state, (u32)query_state_free);
  EXPECT_EQ(query_find_free(fetch_slots, FETCH_QUERY_COUNT), &fetch_slots[0]);
}

class FetchHttp : public Fetch {
 protected:
  void SetUp() override {
    workers = 2;
    Fetch::SetUp();
    http_options o = http_options_default();
    o.connect_timeout_ms = 2000;
    o.low_speed_bytes = 1;
    o.low_speed_seconds = 2;
    http_options_set(o);
    u32 error = 0;
    http_init(string_lit("quillmere"), &error);
  }
  void TearDown() override {
    Fetch::TearDown();
    u32 error = 0;
    http_terminate(&error);
  }
};

// Chunked feeds of a few mebibytes are common (podcasts with years of episodes); without a
// length they must still arrive whole, up to the document limit and not past it.
TEST_F(FetchHttp, unannounced_bodies_arrive_whole_up_to_the_document_limit) {
  const std::string large(MiB(6) + 123, 'x');
  test_http_server server([&](test_http_connection &c, const std::string &path) {
    if (!c.send_head(200, "")) return;
    if (path == "/large") c.send_text(large);
    else if (path == "/endless") {
      std::string chunk(MiB(1), 'y');
      while (c.send_text(chunk)) {
      }
    }
  });
  ASSERT_EQ(app_add_feed(&context, &r, text_of(server.url("/large"))), fetch_request_queued);
  ASSERT_EQ(app_add_feed(&context, &r, text_of(server.url("/endless"))), fetch_request_queued);
  finish(&fetch_slots[0]);
  finish(&fetch_slots[1]);
  EXPECT_EQ(fetch_slots[0].error, 0u);
  EXPECT_EQ(fetch_slots[0].result.used, large.size());
  EXPECT_TRUE(to_std(fetch_slots[0].result) == large);
  EXPECT_EQ(fetch_slots[1].error, (u32)http_error_not_enough_storage);
  EXPECT_EQ(fetch_slots[1].result.used, FETCH_DOCUMENT_MAX);
}

TEST_F(FetchHttp, served_feeds_reach_done_slots) {
  const std::string document = "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>T</title></channel></rss>";
  test_http_server server([&](test_http_connection &c, const std::string &path) {
    if (path == "/feed") c.send_response(200, document);
    else if (path == "/unannounced") {
      if (c.send_head(200, "")) c.send_text(document);
    } else if (path == "/moved") {
      c.send_head(301, "Location: /feed\r\nContent-Length: 0\r\n");
    } else {
      c.send_response(404, "no");
    }
  });
  for (const char *path : {"/feed", "/unannounced", "/moved", "/gone"}) {
    ASSERT_EQ(app_add_feed(&context, &r, text_of(server.url(path) + " ")), fetch_request_queued);
  }
  for (u32 i = 0; i < 4; i++) finish(&fetch_slots[i]);
  EXPECT_EQ(fetch_slots[0].error, 0u);
  EXPECT_EQ(to_std(fetch_slots[0].result), document);
  EXPECT_EQ(fetch_slots[0].result.size, document.size());
  EXPECT_EQ(fetch_slots[1].error, 0u);
  EXPECT_EQ(to_std(fetch_slots[1].result), document);
  EXPECT_EQ(fetch_slots[1].result.size, FETCH_UNKNOWN_LENGTH_BUFFER);
  EXPECT_EQ(fetch_slots[2].error, 0u);
  EXPECT_EQ(to_std(fetch_slots[2].result), document);
  EXPECT_EQ(fetch_slots[3].error, (u32)http_error_internet_open_url);
  EXPECT_EQ(fetch_slots[3].result.data, nullptr);
  EXPECT_EQ(fetch_wakes.load(), 4u);
}

// A list's "HTTP://" line was read as a local path and failed to open: schemes are
// case-insensitive.
TEST_F(FetchHttp, list_lines_with_a_scheme_in_capitals_are_downloaded) {
  const std::string document = "<rss version=\"2.0\"></rss>";
  test_http_server server([&](test_http_connection &c, const std::string &) { c.send_response(200, document); });
  std::string base = server.url("/");
  ASSERT_EQ(base.rfind("http://", 0), 0u);
  std::string rest = base.substr(strlen("http://"));
  std::string path = temp_path("schemes.txt");
  write_file(path, "HTTP://" + rest + "a\nhTTp://" + rest + "b\n");
  u32 error = 0;
  ASSERT_EQ(app_add_feeds_from_file(&context, &r, text_of(path), &error), 2u);
  unlink(path.c_str());
  for (u32 i = 0; i < 2; i++) {
    finish(&fetch_slots[i]);
    EXPECT_EQ(fetch_slots[i].error, 0u) << i;
    EXPECT_EQ(to_std(fetch_slots[i].result), document) << i;
  }
}

// ---- Document buffers --------------------------------------------------------------------

static std::string sized_file(const std::string &name, u64 size) {
  std::string path = temp_path(name);
  std::string head = "<doc " + std::to_string(size) + ">";
  write_file(path, head.substr(0, size));
  // The rest is a hole: reading it costs no disk.
  EXPECT_EQ(truncate(path.c_str(), (off_t)size), 0);
  return path;
}

static u64 page_rounded(u64 n) { return (n + memory_page_size - 1) / memory_page_size * memory_page_size; }

// Jobs read into the lowest free buffer, which keeps its committed pages for the next document
// and gives back only what lies above the keep bound; a model of the buffers follows a random
// sequence of documents read and released, up to three held at once.
TEST_F(Fetch, documents_are_read_into_reused_buffers_that_keep_their_pages) {
  const u64 page = memory_page_size;
  std::vector<u64> sizes = {0, 1, page - 1, page, page + 1, KiB(100), MiB(3), FETCH_BUFFER_KEEP - 1,
                            FETCH_BUFFER_KEEP, FETCH_BUFFER_KEEP + 1, MiB(20), FETCH_DOCUMENT_MAX};
  std::vector<std::string> files;
  for (u64 size : sizes) files.push_back(sized_file("sized_" + std::to_string(size), size));

  struct model_buffer {
    bool out = false;
    u64 committed = 0;
  } model[FETCH_BUFFER_COUNT];
  struct held {
    query *slot;
    u32 buffer;
  };
  std::vector<held> holding;
  fetch_buffers_release();
  ASSERT_EQ(fetch_buffers_counts().out, 0u);
  ASSERT_EQ(fetch_buffers_counts().kept, 0u);
  u64 own_blocks = fetch_buffers_counts().own_blocks;
  // Each buffer's start, as takes from a free pool hand them out: lowest first.
  std::vector<u8 *> start;
  {
    std::vector<arena *> all;
    for (u32 i = 0; i < FETCH_BUFFER_COUNT; i++) all.push_back(fetch_buffer_take());
    for (arena *b : all) {
      ASSERT_NE(b, nullptr);
      start.push_back(b->memory.data);
      fetch_buffer_give_back(b);
    }
  }
  std::mt19937 rng(11);
  for (int step = 0; step < 120; step++) {
    bool read = holding.empty() || (holding.size() < 3 && rng() % 2);
    if (read) {
      u32 k = rng() % sizes.size();
      ASSERT_EQ(app_add_feed(&context, &r, text_of(files[k])), fetch_request_queued);
      query *q = nullptr;
      for (query &s : fetch_slots)
        if (s.state == query_state_queued) q = &s;
      ASSERT_NE(q, nullptr);
      finish(q);
      ASSERT_EQ(q->error, 0u) << sizes[k];
      ASSERT_EQ(q->result.used, sizes[k]);
      std::string head = "<doc " + std::to_string(sizes[k]) + ">";
      ASSERT_EQ(to_std(q->result).substr(0, head.size()), head.substr(0, sizes[k]));
      u32 b = 0;
      while (model[b].out) b++;
      ASSERT_EQ(q->result.data, start[b]) << "step " << step << ": the lowest free buffer";
      model[b].out = true;
      model[b].committed = std::max(model[b].committed, page_rounded(sizes[k]));
      holding.push_back({q, b});
    } else {
      u32 k = rng() % holding.size();
      query_release(holding[k].slot, &urls);
      model_buffer &m = model[holding[k].buffer];
      m.out = false;
      m.committed = std::min(m.committed, FETCH_BUFFER_KEEP);
      holding.erase(holding.begin() + k);
    }
    fetch_buffer_counts c = fetch_buffers_counts();
    u64 committed = 0;
    u32 out = 0;
    for (const model_buffer &m : model) committed += m.out ? 0 : m.committed, out += m.out;
    ASSERT_EQ(c.out, out) << "step " << step;
    ASSERT_EQ(c.kept, committed) << "step " << step;
  }
  for (held &h : holding) query_release(h.slot, &urls);
  EXPECT_EQ(fetch_buffers_counts().out, 0u);
  EXPECT_GT(fetch_buffers_counts().kept, 0u);
  // The batch is done: everything goes back.
  fetch_buffers_release();
  EXPECT_EQ(fetch_buffers_counts().kept, 0u);
  EXPECT_EQ(fetch_buffers_counts().own_blocks, own_blocks);
  for (const std::string &f : files) unlink(f.c_str());
}

// Playing the UI thread: the test holds every buffer, as done slots do while their documents wait
// for the parser; whatever is still held goes back however the test ends.
struct every_buffer {
  std::vector<arena *> held;
  every_buffer() {
    for (u32 i = 0; i < FETCH_BUFFER_COUNT; i++) held.push_back(fetch_buffer_take());
    for (arena *b : held) EXPECT_NE(b, nullptr);
  }
  void give_back(arena *b) {
    fetch_buffer_give_back(b);
    held.erase(std::find(held.begin(), held.end(), b));
  }
  ~every_buffer() {
    for (arena *b : held)
      if (b) fetch_buffer_give_back(b);
  }
};

// Reading further ahead than the parser only costs memory, so quitting or a long wait ends it:
// the document then comes in a block of its own, and nothing is lost.
TEST_F(Fetch, a_job_that_finds_every_buffer_out_reads_into_its_own_block_at_quit_or_after_a_while) {
  std::string path = temp_path("own.xml");
  write_file(path, "<rss version=\"2.0\"></rss>");
  fetch_buffer_counts before = fetch_buffers_counts();
  {
    every_buffer all;
    http_abandon_all();
    ASSERT_EQ(app_add_feed(&context, &r, text_of(path)), fetch_request_queued);
    finish(&fetch_slots[0]);
    http_abandon_clear();
    // No abandon: the job waits its while, then reads all the same.
    fetch_buffers_set_wait(20);
    std::string again = path + ".again";
    write_file(again, "<feed/>");
    ASSERT_EQ(app_add_feed(&context, &r, text_of(again)), fetch_request_queued);
    finish(&fetch_slots[1]);
    unlink(again.c_str());
    EXPECT_EQ(to_std(fetch_slots[0].result), "<rss version=\"2.0\"></rss>");
    EXPECT_EQ(to_std(fetch_slots[1].result), "<feed/>");
    for (query *q : {&fetch_slots[0], &fetch_slots[1]}) {
      EXPECT_EQ(q->error, 0u);
      for (arena *b : all.held) EXPECT_NE(q->result.data, b->memory.data);
    }
    fetch_buffer_counts c = fetch_buffers_counts();
    EXPECT_EQ(c.own_blocks - before.own_blocks, 2u);
    EXPECT_EQ(c.waits - before.waits, 2u);
    EXPECT_EQ(c.out, FETCH_BUFFER_COUNT);
  }
  query_release(&fetch_slots[0], &urls);
  query_release(&fetch_slots[1], &urls);
  EXPECT_EQ(fetch_buffers_counts().out, 0u);
  unlink(path.c_str());
}

class FetchOneWorker : public Fetch {
 protected:
  void SetUp() override {
    workers = 1;
    Fetch::SetUp();
    // Far above the time the test takes to see the wait.
    fetch_buffers_set_wait(120000);
  }
};

// While the parser holds every buffer the worker waits, and the first buffer back is the one it
// reads into.
TEST_F(FetchOneWorker, a_job_waits_for_a_buffer_to_come_back) {
  std::string path = temp_path("waits.xml");
  write_file(path, "<rss version=\"2.0\"><channel/></rss>");
  u64 own_blocks = fetch_buffers_counts().own_blocks;
  {
    every_buffer all;
    ASSERT_EQ(app_add_feed(&context, &r, text_of(path)), fetch_request_queued);
    ASSERT_TRUE(test_wait_until([] { return fetch_buffers_counts().waiting == 1; }));
    EXPECT_EQ(__atomic_load_n(&fetch_slots[0].state, __ATOMIC_ACQUIRE), (u32)query_state_queued);
    arena *back = all.held[5];
    all.give_back(back);
    ASSERT_TRUE(test_wait_until([&] { return __atomic_load_n(&fetch_slots[0].state, __ATOMIC_ACQUIRE) == query_state_done; }));
    EXPECT_EQ(fetch_slots[0].error, 0u);
    EXPECT_EQ(to_std(fetch_slots[0].result), "<rss version=\"2.0\"><channel/></rss>");
    EXPECT_EQ(fetch_slots[0].result.data, back->memory.data);
  }
  query_release(&fetch_slots[0], &urls);
  EXPECT_EQ(fetch_buffers_counts().out, 0u);
  EXPECT_EQ(fetch_buffers_counts().own_blocks, own_blocks);
  unlink(path.c_str());
}

// A compressed feed reaches the parser as its own bytes, in a document buffer; one that inflates
// past the document limit is cut there and refused with the limit named.
TEST_F(FetchHttp, compressed_feeds_arrive_decompressed_and_bombs_stop_at_the_document_limit) {
  const std::string document = "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>" + std::string(300000, 'T') +
                               "</title></channel></rss>";
  const std::string gzip = test_gzip(document);
  const std::string bomb = test_gzip(std::string(FETCH_DOCUMENT_MAX + 1, ' '));
  test_http_server server([&](test_http_connection &c, const std::string &path) {
    const std::string &body = path == "/bomb" ? bomb : gzip;
    if (c.send_head(200, "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"))
      c.send_text(body);
  });
  fetch_buffer_counts before = fetch_buffers_counts();
  ASSERT_EQ(app_add_feed(&context, &r, text_of(server.url("/feed"))), fetch_request_queued);
  ASSERT_EQ(app_add_feed(&context, &r, text_of(server.url("/bomb"))), fetch_request_queued);
  finish(&fetch_slots[0]);
  finish(&fetch_slots[1]);
  EXPECT_EQ(fetch_slots[0].error, 0u);
  EXPECT_TRUE(to_std(fetch_slots[0].result) == document) << fetch_slots[0].result.used << " bytes";
  EXPECT_EQ(fetch_slots[1].error, (u32)http_error_not_enough_storage);
  EXPECT_EQ(fetch_slots[1].result.used, FETCH_DOCUMENT_MAX);
  EXPECT_NE(log_text().find(server.url("/bomb") + " returned (8) http_error_not_enough_storage: the decoded body is "
                                                  "longer than the limit of 64 MiB for a download\n"),
            std::string::npos);
  fetch_buffer_counts c = fetch_buffers_counts();
  EXPECT_EQ(c.out - before.out, 2u) << "both documents are in document buffers";
  EXPECT_EQ(c.own_blocks, before.own_blocks);
}
