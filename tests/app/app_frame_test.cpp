// The application's frame pieces without a window: start values and page setters, the data
// folder choice, done fetch slots handed to the parser with the selection kept, the add page's
// actions against a store, and the save at exit.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "tests/support/file_text.h"
#include "tests/support/process.h"
#include "tests/support/test_store.h"

namespace {

buffer text_of(const std::string &s) { return string_from_bytes(s.data(), s.size()); }
std::string str(buffer b) { return std::string((const char *)b.data, b.used); }

std::string rss(const std::string &items) {
  return "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>T</title><link>http://x/</link>"
         "<description>d</description>" + items + "</channel></rss>";
}
std::string item(const std::string &guid, const std::string &date) {
  return "<item><title>" + guid + "</title><guid>" + guid + "</guid><pubDate>" + date + "</pubDate></item>";
}

class AppFrame : public ::testing::Test {
 protected:
  reader r = {};
  codepoint_set set = {};
  buffer set_memory = {};
  view_state view = {};
  app a = {};
  query slots[8] = {};
  fetch_context fetch = {};
  thread_queue *queue = nullptr;
  std::string folder;

  void SetUp() override {
    if (!memory_scratch.data) memory_scratch_init(MEMORY_SCRATCH_SIZE);
    allocator_init(&app_allocator, MiB(4), MiB(1), 128);
    ASSERT_TRUE(test_store_init(&r, &set, &set_memory));
    char tmpl[] = "/tmp/qm_app_frame_XXXXXX";
    folder = mkdtemp(tmpl);
    app_init(&a);
    a.frame_arena = memory_alloc(APP_FRAME_ARENA_BYTES, nullptr);
    view_state_init(&view, r.generation);
    a.view = &view;
    // No workers: queued jobs stay queued, so tests play the worker's part themselves.
    queue = new thread_queue();
    thread_queue_create(queue, 0);
    app_fetch_init(&a, &fetch, slots, 8, queue, nullptr);
  }
  void TearDown() override {
    thread_terminate(queue);
    delete queue;
    app_end(&a);
    memory_free(&a.frame_arena);
    reader_destroy(&r);
    allocator_destroy(&app_allocator);
    std::string cmd = folder;
    // Only files and empty folders this test made live there.
    if (DIR *d = opendir(folder.c_str())) {
      while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != ".." && unlink((folder + "/" + n).c_str()) != 0) rmdir((folder + "/" + n).c_str());
      }
      closedir(d);
    }
    rmdir(folder.c_str());
  }

  // Plays a worker that finished: the slot holds the document (or the error) and is done.
  void finish(query *slot, const std::string &document, u32 error = 0) {
    slot->error = error;
    if (!error) {
      slot->result = memory_alloc(document.size() + 1, nullptr);
      memory_copy(slot->result.data, document.data(), document.size());
      slot->result.used = document.size();
    }
    __atomic_store_n(&slot->state, (u32)query_state_done, __ATOMIC_RELEASE);
  }
  query *request(const std::string &url) {
    view.add_url.used = 0;
    buffer_push_bytes(&view.add_url, url.data(), url.size());
    EXPECT_EQ(app_add_feed_from_view(&a, &r), fetch_request_queued);
    for (query &q : slots)
      if (q.state == query_state_queued && str(q.url) == url) return &q;
    return nullptr;
  }
  u32 live_feeds() {
    u32 n = 0;
    pool_iterator it = pool_iterator_init(&r.feeds, sizeof(feed), feed_is_live);
    while (pool_iterator_next(&it)) n++;
    return n;
  }
};

TEST_F(AppFrame, start_values_and_page_setters) {
  EXPECT_EQ(view.page, (u32)view_page_add_feed);
  EXPECT_EQ(view.show_empty, 0u);
  EXPECT_EQ(view.log_auto_scroll, 1u);
  EXPECT_EQ(view.deleted_filter, 0u);
  EXPECT_EQ(view.generation_from, r.generation);
  EXPECT_EQ(view.generation_to, r.generation);
  EXPECT_EQ(view.add_url.size, 1024u);
  void (*setters[])(app *) = {view_show_help, view_show_add_feed, view_show_links, view_show_log};
  for (u32 i = 0; i < 4; i++) {
    for (int twice = 0; twice < 2; twice++) {
      view.selection_changed = 0;
      setters[i](&a);
      EXPECT_EQ(view.page, i + 1);
      EXPECT_EQ(view.selection_changed, 1u);
    }
  }
}

TEST_F(AppFrame, data_folder_from_path_argument_and_empty_value) {
  std::string home = folder + "/xdg";
  setenv("XDG_DATA_HOME", home.c_str(), 1);
  const char *with_path[] = {"quillmere", "-path", "/some/where/", nullptr};
  platform_init_arguments(3, (u8 **)with_path);
  app_paths_init(&a);
  EXPECT_EQ(str(a.data_directory), "/some/where");  // no trailing separator
  const char *empty_path[] = {"quillmere", "-path", "", nullptr};
  platform_init_arguments(3, (u8 **)empty_path);
  app_paths_init(&a);
  EXPECT_EQ(str(a.data_directory), home + "/quillmere");
  const char *none[] = {"quillmere", nullptr};
  platform_init_arguments(1, (u8 **)none);
  app_paths_init(&a);
  EXPECT_EQ(str(a.data_directory), home + "/quillmere");
}

TEST_F(AppFrame, failed_download_logs_shows_log_and_frees_slot) {
  query *q = request("http://example.invalid/feed");
  ASSERT_NE(q, nullptr);
  u32 generation = r.generation;
  EXPECT_EQ(view.generation_from, generation);  // the first request opened the generation
  finish(q, "", http_error_internet_open_url);
  view.page = view_page_help;
  size_t before = str(log_last_text()).size();
  EXPECT_EQ(app_queries_check(&a, &r), 1u);
  EXPECT_EQ(q->state, (u32)query_state_free);
  EXPECT_EQ(q->url.data, nullptr);
  EXPECT_EQ(view.page, (u32)view_page_log);
  std::string log = str(log_last_text());
  log = log.size() >= before ? log.substr(before) : log;
  // One line for the failure; the transport wrote its own detail before the slot was done.
  const std::string line = "Error while retrieving feed: http://example.invalid/feed returned (5) "
                           "http_error_internet_open_url\n";
  size_t at = log.find(line);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(line, at + 1), std::string::npos);
  EXPECT_EQ(log.find("http_get_file error"), std::string::npos) << "the app does not repeat the transport";
  EXPECT_EQ(log.find("\n    Returned"), std::string::npos);
  EXPECT_EQ(live_feeds(), 0u);
}

// A request's new generation moves the view of the context it was made for; once that context
// has ended (its view may be gone with it), no later generation reaches it.
TEST_F(AppFrame, a_generation_after_the_context_ended_leaves_its_view_alone) {
  const u32 from = view.generation_from;
  app_end(&a);
  app_new_generation(&r);
  EXPECT_EQ(view.generation_from, from);
  EXPECT_EQ(view.generation_to, from);
}

TEST_F(AppFrame, local_file_error_is_named_as_a_file_error) {
  query *q = request(folder + "/missing.xml");
  ASSERT_NE(q, nullptr);
  finish(q, "", file_error_open);
  size_t before = str(log_last_text()).size();
  app_queries_check(&a, &r);
  std::string log = str(log_last_text());
  log = log.size() >= before ? log.substr(before) : log;
  std::string path = folder + "/missing.xml";
  size_t at = log.find(path);
  ASSERT_NE(at, std::string::npos) << log;
  size_t begin = log.rfind('\n', at) + 1;  // npos + 1 is 0
  std::string line = log.substr(begin, log.find('\n', at) - begin);
  EXPECT_NE(line.find(file_error_name(file_error_open)), std::string::npos) << line;
  EXPECT_EQ(line.find("http"), std::string::npos) << "a file is not a download: " << line;
  EXPECT_EQ(log.find(path, at + 1), std::string::npos) << "one line per failure";
}

// The real job reads the file on a thread of its own, as a worker does; what the system said
// there reaches the UI thread's line with the slot, whatever that thread's own last failure was.
// A folder given as the feed's path is no file to read either, and the line says so.
TEST_F(AppFrame, a_local_feed_file_that_cannot_be_opened_is_logged_with_the_systems_reason) {
  const std::string sub = folder + "/a folder";
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  struct given {
    std::string path, reason;
  };
  for (const given &g : {given{folder + "/missing.xml", "No such file or directory"}, given{sub, "Is a directory"}}) {
    query *q = request(g.path);
    ASSERT_NE(q, nullptr) << g.path;
    std::thread worker(query_job_fetch, (void *)q);
    worker.join();
    ASSERT_EQ(q->state, (u32)query_state_done);
    u32 other = 0;
    EXPECT_FALSE(file_delete(text_of(folder), &other)) << "a folder is no file to delete";
    size_t before = str(log_last_text()).size();
    EXPECT_EQ(app_queries_check(&a, &r), 1u);
    std::string log = str(log_last_text());
    log = log.size() >= before ? log.substr(before) : log;
    EXPECT_NE(log.find("Reading the feed file failed: file_error_open (1): " + g.path + ": " + g.reason + "\n"),
              std::string::npos)
        << log;
  }
}

TEST_F(AppFrame, two_done_slots_in_one_frame_and_a_twin_url_makes_one_feed) {
  query *first = request("http://a/feed");
  query *second = request("http://b/feed");
  // The same URL again before the first answer: both answers must end in one feed. Requests
  // refuse a URL already queued, so the twin slot is filled by hand.
  view.add_url.used = 0;
  buffer_push_bytes(&view.add_url, "http://a/feed", 13);
  EXPECT_EQ(app_add_feed_from_view(&a, &r), fetch_request_pending);
  query *twin = query_find_free(slots, 8);
  ASSERT_NE(twin, nullptr);
  buffer copy = allocator_alloc(&app_allocator, 14);
  memory_copy(copy.data, "http://a/feed", 14);
  copy.size = 14;
  copy.used = 13;
  query_init(twin, copy, -1, nullptr);
  finish(first, rss(item("g1", "Mon, 01 Jan 2024 10:00:00 GMT")));
  finish(second, rss(item("h1", "Mon, 01 Jan 2024 10:00:00 GMT")));
  finish(twin, rss(item("g2", "Tue, 02 Jan 2024 10:00:00 GMT")));
  EXPECT_EQ(app_queries_check(&a, &r), 3u);
  EXPECT_EQ(live_feeds(), 2u);
  feed *f = reader_find_feed_by_url(&r, string_lit("http://a/feed"));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->entry_count, 2u);
  EXPECT_NE(reader_get_meta(&r, f->id), nullptr);
  for (query &s : slots) EXPECT_EQ(s.state, (u32)query_state_free);
}

// A batch of documents arriving together must not stop the window from drawing: each frame
// hands them to the parser only until its budget is spent, always at least one (a document that
// alone takes longer still completes), lower slots first, and asks for the next frame while some
// are left, since their wake-ups have come already.
TEST_F(AppFrame, done_slots_past_the_frame_budget_wait_for_the_next_frame) {
  std::vector<query *> done;
  for (int k = 0; k < 5; k++) {
    query *q = request("http://f" + std::to_string(k) + "/feed");
    ASSERT_NE(q, nullptr);
    done.push_back(q);
  }
  // Finished out of slot order: the lower slot still goes first.
  for (int k = 4; k >= 0; k--) finish(done[k], rss(item("g" + std::to_string(k), "Mon, 01 Jan 2024 10:00:00 GMT")));
  a.queries_budget_ns = 1;  // spent by any document
  for (int k = 0; k < 5; k++) {
    view.another_frame = 0;
    EXPECT_EQ(app_queries_check(&a, &r), 1u) << k;
    EXPECT_EQ(done[k]->state, (u32)query_state_free) << k;
    for (int later = k + 1; later < 5; later++) EXPECT_EQ(done[later]->state, (u32)query_state_done) << k;
    EXPECT_EQ(view.another_frame, k < 4 ? 1u : 0u) << k;
    EXPECT_EQ(live_feeds(), (u32)k + 1);
  }
  EXPECT_EQ(app_queries_check(&a, &r), 0u);
  EXPECT_EQ(view.another_frame, 0u);
  // A budget no frame spends hands over everything at once.
  a.queries_budget_ns = INT64_MAX;
  for (int k = 0; k < 3; k++) finish(request("http://g" + std::to_string(k) + "/feed"), rss(item("h", "Mon, 01 Jan 2024 10:00:00 GMT")));
  EXPECT_EQ(app_queries_check(&a, &r), 3u);
  EXPECT_EQ(view.another_frame, 0u);
}

// "Update all" pressed again while a feed's document waits for the next frame's budget: a second
// fetch of that feed could take a lower slot and be parsed first, and the older document parsed
// after it would bring back the feed's older fields. Whatever is fetched, the feed ends with the
// fields of the newest document fetched for it.
TEST_F(AppFrame, a_second_update_all_while_a_document_is_deferred_keeps_the_newest_fields) {
  auto titled = [](const std::string &title) {
    return "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>" + title +
           "</title><link>http://x/</link><description>d</description></channel></rss>";
  };
  for (const char *u : {"http://a/feed", "http://f/feed"}) finish(request(u), titled(std::string(u) + " 0"));
  EXPECT_EQ(app_queries_check(&a, &r), 2u);
  feed *f = reader_find_feed_by_url(&r, string_lit("http://f/feed"));
  ASSERT_NE(f, nullptr);
  u32 f_id = f->id;
  // A new feed's download takes the first slot, so the update of f lands in the third.
  query *added = request("http://n/feed");
  ASSERT_EQ(app_update_all_feeds(&fetch, &r), 2u);
  std::string newest;
  u32 fetched = 0;
  // Plays the workers for every queued slot, in slot order; f's documents are numbered as fetched.
  auto fetch_all = [&] {
    for (query &s : slots) {
      if (s.state != query_state_queued) continue;
      std::string title = str(s.url) + " " + std::to_string(++fetched);
      if (s.feed_id == (s32)f_id) newest = title;
      finish(&s, titled(title));
    }
  };
  fetch_all();
  ASSERT_EQ(added->state, (u32)query_state_done);
  a.queries_budget_ns = 1;  // one document a frame
  EXPECT_EQ(app_queries_check(&a, &r), 1u);  // the new feed
  EXPECT_EQ(app_queries_check(&a, &r), 1u);  // a's update; f's document waits
  ASSERT_FALSE(newest.empty());
  app_update_all_feeds(&fetch, &r);
  fetch_all();
  for (int frame = 0; frame < 8 && app_queries_check(&a, &r); frame++) {
  }
  for (query &s : slots) EXPECT_EQ(s.state, (u32)query_state_free);
  f = reader_find_feed(&r, f_id);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(str(f->rss.title), newest);
}

// Playing the worker with a document buffer: the batch keeps the buffers' pages while any fetch
// is queued or done, and gives them all back in the frame that handles its last document.
TEST_F(AppFrame, document_buffers_give_their_pages_back_when_the_batch_is_done) {
  fetch_buffers_release();
  query *first = request("http://a/feed");
  query *second = request("http://b/feed");
  std::string document = rss(item("g", "Mon, 01 Jan 2024 10:00:00 GMT"));
  arena *b = fetch_buffer_take();
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(fetch_buffer_commit(b, MiB(1)));
  memory_copy(b->memory.data, document.data(), document.size());
  first->result = buffer{MiB(1), document.size(), b->memory.data};
  __atomic_store_n(&first->state, (u32)query_state_done, __ATOMIC_RELEASE);
  EXPECT_EQ(app_queries_check(&a, &r), 1u);
  fetch_buffer_counts c = fetch_buffers_counts();
  EXPECT_EQ(c.out, 0u) << "the document's buffer is back";
  EXPECT_EQ(c.kept, MiB(1)) << "kept: another fetch is on its way";
  EXPECT_GT(r.xml.nodes.memory.used, 0u) << "the parse memory stays for the next document";
  finish(second, document);
  EXPECT_EQ(app_queries_check(&a, &r), 1u);
  EXPECT_EQ(fetch_buffers_counts().kept, 0u);
  EXPECT_EQ(r.xml.nodes.memory.used, 0u) << "the parse memory goes back with the batch";
  EXPECT_EQ(r.xml.strings.memory.used, 0u);
  EXPECT_EQ(live_feeds(), 2u);
}

TEST_F(AppFrame, update_keeps_the_selected_entry_by_its_unique_id) {
  query *q = request("http://a/feed");
  finish(q, rss(item("old", "Mon, 01 Jan 2024 10:00:00 GMT")));
  app_queries_check(&a, &r);
  feed *f = reader_find_feed_by_url(&r, string_lit("http://a/feed"));
  ASSERT_NE(f, nullptr);
  view.selected_feed = f;
  view.selected_entry = reader_first_entry(&r, f, 0, 0xFFFFFFFF, 0, feed_type_deleted);
  ASSERT_NE(view.selected_entry, nullptr);
  ASSERT_TRUE(app_update_selected_feed(&a, &r));
  query *update = nullptr;
  for (query &s : slots)
    if (s.state == query_state_queued) update = &s;
  ASSERT_NE(update, nullptr);
  // Newer entries arrive; sorting puts them before the selected one.
  finish(update, rss(item("new1", "Tue, 02 Jan 2024 10:00:00 GMT") + item("new2", "Wed, 03 Jan 2024 10:00:00 GMT") +
                     item("old", "Mon, 01 Jan 2024 10:00:00 GMT")));
  app_queries_check(&a, &r);
  ASSERT_NE(view.selected_entry, nullptr);
  EXPECT_EQ(str(entry_get_guid(view.selected_entry)), "old");
  EXPECT_EQ(view.selected_entry->feed_id, f->id);
  EXPECT_EQ(view.selected_feed, f);
}

TEST_F(AppFrame, update_of_a_deleted_feed_is_dropped) {
  query *q = request("http://a/feed");
  finish(q, rss(item("g", "Mon, 01 Jan 2024 10:00:00 GMT")));
  app_queries_check(&a, &r);
  feed *f = reader_find_feed_by_url(&r, string_lit("http://a/feed"));
  ASSERT_TRUE(app_update_feed(&fetch, &r, f));
  query *update = nullptr;
  for (query &s : slots)
    if (s.state == query_state_queued) update = &s;
  reader_delete_feed(&r, f);
  finish(update, rss(item("x", "Tue, 02 Jan 2024 10:00:00 GMT")));
  EXPECT_EQ(app_queries_check(&a, &r), 1u);
  EXPECT_EQ(live_feeds(), 0u);
  EXPECT_EQ(update->state, (u32)query_state_free);
}

TEST_F(AppFrame, export_writes_each_live_feed_url_and_defaults_to_the_desktop) {
  for (const char *u : {"http://a/feed", "http://b/feed"}) {
    query *q = request(u);
    finish(q, rss(item(u, "Mon, 01 Jan 2024 10:00:00 GMT")));
  }
  app_queries_check(&a, &r);
  a.desktop_path.used = 0;
  buffer_push_bytes(&a.desktop_path, folder.data(), folder.size());
  EXPECT_GT(app_export_feed_list(&a, &r), 0u);
  EXPECT_EQ(str(view.export_file_path), folder + "/list.txt");
  EXPECT_EQ(test_file_text(folder + "/list.txt"), "http://a/feed\nhttp://b/feed\n");
}

// Without a desktop folder, or with one too long for the export box, there is no default path:
// the export must fail rather than write "list.txt" into the file system's root.
TEST_F(AppFrame, export_without_a_usable_desktop_path_writes_nothing) {
  query *q = request("http://a/feed");
  finish(q, rss(item("a", "Mon, 01 Jan 2024 10:00:00 GMT")));
  app_queries_check(&a, &r);
  bool root_list_existed = access("/list.txt", F_OK) == 0;
  std::string long_folder = folder + "/" + std::string(view.export_file_path.size, 'd');
  for (const std::string &desktop : {std::string(), long_folder}) {
    a.desktop_path.used = 0;
    buffer_push_bytes(&a.desktop_path, desktop.data(), desktop.size());
    view.export_file_path.used = 0;
    EXPECT_EQ(app_export_feed_list(&a, &r), 0u);
    EXPECT_NE(str(view.export_file_path), "/list.txt");
    EXPECT_EQ(view.export_file_path.used, 0u);
    if (!root_list_existed && access("/list.txt", F_OK) == 0) {
      ADD_FAILURE() << "the export wrote /list.txt";
      unlink("/list.txt");
    }
  }
}

TEST_F(AppFrame, a_failed_import_does_not_stop_later_imports_or_exports) {
  std::string missing = folder + "/none.txt";
  view.list_file_path.used = 0;
  buffer_push_bytes(&view.list_file_path, missing.data(), missing.size());
  size_t before = str(log_last_text()).size();
  EXPECT_EQ(app_add_feeds_from_list_file(&a, &r), 0u);
  EXPECT_NE(a.file_error, 0u);
  std::string log = str(log_last_text());
  log = log.size() >= before ? log.substr(before) : log;
  EXPECT_NE(log.find("Import of the list file failed: file_error_open (1): " + missing + ": No such file or directory\n"),
            std::string::npos)
      << log;
  std::string list = folder + "/in.txt";
  std::ofstream(list) << "http://a/feed\r\n\n  http://b/feed\n";
  view.list_file_path.used = 0;
  buffer_push_bytes(&view.list_file_path, list.data(), list.size());
  EXPECT_EQ(app_add_feeds_from_list_file(&a, &r), 2u);
  u32 queued = 0;
  for (query &s : slots) queued += s.state == query_state_queued;
  EXPECT_EQ(queued, 2u);
  // An export into a folder that is not there fails, saying why.
  std::string nowhere = folder + "/none/out.txt";
  view.export_file_path.used = 0;
  buffer_push_bytes(&view.export_file_path, nowhere.data(), nowhere.size());
  before = str(log_last_text()).size();
  EXPECT_EQ(app_export_feed_list(&a, &r), 0u);
  log = str(log_last_text());
  log = log.size() >= before ? log.substr(before) : log;
  EXPECT_NE(log.find("Export of the feed list failed: file_error_open (1): " + nowhere + ": No such file or directory\n"),
            std::string::npos)
      << log;
  std::string out = folder + "/out.txt";
  view.export_file_path.used = 0;
  buffer_push_bytes(&view.export_file_path, out.data(), out.size());
  a.file_error = 1;  // left over from anything earlier
  EXPECT_EQ(app_export_feed_list(&a, &r), 0u);  // an empty store writes an empty list
  EXPECT_EQ(a.file_error, 0u);
  EXPECT_EQ(access(out.c_str(), F_OK), 0);
  // The slots still belong to the (absent) workers: hand them back as failures.
  for (query &s : slots)
    if (s.state == query_state_queued) finish(&s, "", http_error_not_initialized);
  app_queries_check(&a, &r);
}

TEST_F(AppFrame, save_at_exit_purges_and_writes_a_save_file) {
  query *q = request("http://a/feed");
  finish(q, rss(item("g", "Mon, 01 Jan 2024 10:00:00 GMT")));
  app_queries_check(&a, &r);
  feed *f = reader_find_feed_by_url(&r, string_lit("http://a/feed"));
  reader_mark_feed_deleted(&r, f);
  EXPECT_TRUE(app_save_at_exit(&r, text_of(folder)));
  EXPECT_EQ(live_feeds(), 0u);
  bool found = false;
  if (DIR *d = opendir(folder.c_str())) {
    while (dirent *e = readdir(d)) found |= std::string(e->d_name).rfind("feed_data_", 0) == 0;
    closedir(d);
  }
  EXPECT_TRUE(found);
}

// A save at exit that fails says why where the user sees it once the window is gone, down to
// what the system said: a file where the data folder should be, a folder where the save's
// temporary file should be.
TEST_F(AppFrame, a_failed_save_at_exit_writes_its_reason_to_standard_error) {
  std::string blocker = folder + "/a file";
  std::ofstream(blocker) << "x";
  testing::internal::CaptureStderr();
  bool saved = app_save_at_exit(&r, text_of(blocker + "/data"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(saved);
  EXPECT_NE(err.find("Error while saving the reader.\n "), std::string::npos) << err;
  EXPECT_NE(err.find("create data folder failed: file_error_dir_create (16): " + blocker + "/data: File exists\n"),
            std::string::npos)
      << err;
  unlink(blocker.c_str());

  ASSERT_EQ(mkdir((folder + "/feed_data.tmp").c_str(), 0700), 0);
  testing::internal::CaptureStderr();
  saved = app_save_at_exit(&r, text_of(folder));
  err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(saved);
  size_t at = err.find("save failed: file_error_open (1): " + folder + "/feed_data_");
  ASSERT_NE(at, std::string::npos) << err;
  std::string line = err.substr(at, err.find('\n', at) + 1 - at);
  const std::string reason = ".bin: Is a directory\n";
  ASSERT_GT(line.size(), reason.size()) << err;
  EXPECT_EQ(line.substr(line.size() - reason.size()), reason) << err;
}

// A disk that fills up during the save at exit (a file size limit stands in for it, in a child
// process): the save fails with its reason on standard error, and the previous save stays whole
// and alone in the folder.
TEST_F(AppFrame, a_save_at_exit_that_runs_out_of_disk_keeps_the_previous_save) {
  query *q = request("http://a/feed");
  finish(q, rss(item("g", "Mon, 01 Jan 2024 10:00:00 GMT")));
  app_queries_check(&a, &r);
  std::string data = folder + "/data";
  ASSERT_TRUE(app_save_at_exit(&r, text_of(data)));
  auto saves = [&] {
    std::vector<std::string> names;
    if (DIR *d = opendir(data.c_str())) {
      while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      closedir(d);
    }
    return names;
  };
  std::vector<std::string> first = saves();
  ASSERT_EQ(first.size(), 1u);
  const std::string previous = test_file_text(data + "/" + first[0]);
  // Far more than the limit lets the child write.
  feed *f = reader_find_feed_by_url(&r, string_lit("http://a/feed"));
  ASSERT_TRUE(f);
  f->rss.description = reader_add_string(&r, text_of(std::string(1 << 20, 'd')));
  std::string err_path = folder + "/stderr.txt";
  pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit = {64 * 1024, 64 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(app_save_at_exit(&r, text_of(data)) ? 0 : 3);
  }
  ASSERT_GT(child, 0);
  test_process saving(child);  // killed and reaped however the test leaves
  int status = 0;
  ASSERT_TRUE(saving.wait_exit(&status)) << "the save did not end";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  std::string err = test_file_text(err_path);
  EXPECT_NE(err.find("Error while saving the reader.\n "), std::string::npos) << err;
  EXPECT_EQ(saves(), first);  // no temporary file left, nothing rotated away
  EXPECT_TRUE(test_file_text(data + "/" + first[0]) == previous);
  {
    reader loaded = {};
    u32 error = 0;
    reader_init(&loaded, &error);
    EXPECT_NE(reader_load(&loaded, text_of(data)), 0u);
    EXPECT_EQ(loaded.feeds.entry_count, 1u);
    reader_destroy(&loaded);
  }
  unlink(err_path.c_str());
  unlink((data + "/" + first[0]).c_str());
  rmdir(data.c_str());
}

}  // namespace
