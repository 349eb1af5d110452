// feed_dump: parses feed documents into a fresh store, headless, and prints the store as stable
// text. The first file is a first fetch; every further file is an update of the same feed in
// the next generation. See usage() for the format.
#include <stdio.h>
#include <string.h>

#include "reader/reader.h"

static const char usage_text[] =
    "usage: feed_dump [--url URL] [--log] [--check] FILE [UPDATE_FILE...]\n"
    "\n"
    "Parses FILE as the first fetch of a new feed (generation 1) into an empty store, then each\n"
    "UPDATE_FILE as an update of that feed (generations 2, 3, ...), sorting the feed's entries\n"
    "after each parse as the program does, and prints the store.\n"
    "\n"
    "  --url URL  the address the documents came from (default https://example.org/feed.xml);\n"
    "             a video-site channel feed is recognised by it\n"
    "  --log      print the store's log (parse messages, \"Feed error: \" lines) to stderr\n"
    "  --check    run the store's consistency check after the last parse\n"
    "\n"
    "Output, one block per live feed in slot order:\n"
    "  feed <id> <rss|atom> <live|deleted> entries=<count>\n"
    "  then one \"  <field>: <value>\" line per non-empty field: url, the feed's texts, numbers,\n"
    "  skipHours/skipDays, dates (always), link(<rel>) lines, category/author/contributor lines;\n"
    "  then one line per entry of the feed in slot (display) order:\n"
    "  \"  entry <id> gen=<generation> <live|deleted>\" followed by \" <field>=<value>\" for the\n"
    "  dates (always) and every non-empty field; description, summary and content come last.\n"
    "Texts are double-quoted with C escapes (\\\" \\\\ \\n \\r \\t \\xHH); dates are yyyymmdd_hhmmss,\n"
    "\"-\" for none; relations are alternate, related, self, enclosure, via or other.\n"
    "\n"
    "Exit status: 0 success, 1 usage or file error, 2 a parse reported a feed error,\n"
    "3 the consistency check found problems (whether or not a parse reported an error).\n";

static void usage(FILE *to) { fputs(usage_text, to); }

int main(int argc, char **argv) {
  const char *url = "https://example.org/feed.xml";
  bool print_log = false, check = false;
  int first_file = argc;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
      usage(stdout);
      return 0;
    } else if (!strcmp(argv[i], "--url") && i + 1 < argc) {
      url = argv[++i];
    } else if (!strcmp(argv[i], "--log")) {
      print_log = true;
    } else if (!strcmp(argv[i], "--check")) {
      check = true;
    } else if (argv[i][0] == '-' && argv[i][1]) {
      usage(stderr);
      return 1;
    } else {
      first_file = i;
      break;
    }
  }
  if (first_file >= argc) {
    usage(stderr);
    return 1;
  }

  reader r = {};
  u32 error = 0;
  reader_init(&r, &error);
  codepoint_set set = {};
  buffer set_memory = memory_alloc(CODEPOINT_SET_MEMORY, nullptr);
  buffer scratch = memory_alloc(MiB(64), nullptr);
  if (error || !set_memory.data || !scratch.data || !codepoint_set_init(&set, &set_memory)) {
    fputs("feed_dump: no memory for the store\n", stderr);
    return 1;
  }
  r.codepoints = &set;

  int status = 0;
  feed *f = nullptr;
  u32 feed_id = 0;
  for (int i = first_file; i < argc; ++i) {
    u32 file_error = 0;
    buffer document = file_read_all(string_from_bytes(argv[i], strlen(argv[i])), 0, &file_error);
    if (file_error) {
      fprintf(stderr, "feed_dump: cannot read %s: %s\n", argv[i], file_error_name(file_error));
      status = 1;
      break;
    }
    r.generation += 1;
    // Pointers into the pools do not survive a sort; the feed is found again by id.
    f = feed_id ? reader_find_feed(&r, feed_id) : nullptr;
    u32 parse_error = 0;
    f = feed_parse(&scratch, &r, document, string_from_bytes(url, strlen(url)), f, &parse_error);
    if (parse_error) status = 2;
    if (f) {
      feed_id = f->id;
      reader_sort_feed_entries(&r, f);
    }
    file_content_free(&document);
  }

  buffer out = memory_alloc(MiB(256), nullptr);
  if (!out.data || !reader_print_feeds(&r, &out)) {
    fputs("feed_dump: the listing does not fit in its buffer\n", stderr);
    status = 1;
  }
  fwrite(out.data, 1, out.used, stdout);
  // A store the check finds broken matters more than a feed error, which any bad document gives.
  if (check && reader_check(&r) != 0 && status != 1) status = 3;
  if (print_log) {
    // The log may span chunks; each is printed in turn.
    buffer chunks[64];
    u32 n = log_chunk_list(chunks, 64);
    for (u32 k = 0; k < n && k < 64; ++k) fwrite(chunks[k].data, 1, chunks[k].used, stderr);
  }
  memory_free(&out);
  memory_free(&scratch);
  memory_free(&set_memory);
  reader_destroy(&r);
  return status;
}
