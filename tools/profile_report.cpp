// profile_report: reads a profile file that a run with -profile left ("profile.bin") and prints
// its report: per thread the totals of every zone and the call tree. A file that is not a
// profile, or is damaged, is refused with a message saying what is wrong with it.
#include <stdio.h>
#include <string.h>

#include "profiler/profile.h"

static const char usage_text[] =
    "usage: profile_report [FILE]\n"
    "\n"
    "Loads FILE (default profile.bin, the file a run of quillmere with -profile writes in its\n"
    "current folder) and prints, for each thread, the \"# Totals\" table (per zone: calls,\n"
    "cycles, cycles per call, seconds, seconds per call, a bar relative to the largest) and the\n"
    "\"# Tree\" of zone instances with their cycles and seconds.\n"
    "\n"
    "Exit status: 0 success, 1 usage error or a file that cannot be read or is damaged.\n";

// What each load error says about the file.
static const char *load_error_text(u32 error) {
  switch (error) {
    case profiler_error_no_data: return "cannot be read (it is missing, unreadable or empty)";
    case profiler_error_past_end: return "is cut short: a part it announces reaches past its end";
    case profiler_error_no_memory: return "needs more memory than the system gives";
    case profiler_error_magic: return "is not a profile file (it does not begin with \"PROF\")";
    case profiler_error_version: return "is a profile of a version this program does not read";
    case profiler_error_malformed: return "is damaged: its fields are out of range or do not agree";
    default: return "could not be loaded";
  }
}

int main(int argc, char **argv) {
  const char *name = PROFILER_FILE_NAME;
  if (argc > 2 || (argc == 2 && argv[1][0] == '-' && argv[1][1])) {
    bool help = argc == 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"));
    fputs(usage_text, help ? stdout : stderr);
    return help ? 0 : 1;
  }
  if (argc == 2) name = argv[1];

  u32 error = 0;
  profiler_profile profile = profiler_load_file(name, &error);
  if (error) {
    fprintf(stderr, "profile_report: %s %s (%s).\n", name, load_error_text(error), profiler_error_name(error));
    return 1;
  }
  // The report's size is not known before it is written: a report that does not fit is written
  // again into a block twice as large.
  int status = 0;
  for (u64 size = MiB(1);; size *= 2) {
    buffer block = memory_alloc(size, nullptr);
    if (!block.data) {
      fprintf(stderr, "profile_report: no memory for a report of %llu bytes.\n", (unsigned long long)size);
      status = 1;
      break;
    }
    u32 report_error = 0;
    u64 n = profiler_report(&profile, block.data, block.size, &report_error);
    if (report_error == profiler_error_past_end) {
      memory_free(&block);
      continue;
    }
    if (report_error) {
      fprintf(stderr, "profile_report: the report failed (%s).\n", profiler_error_name(report_error));
      status = 1;
    } else if (fwrite(block.data, 1, n, stdout) != n || fflush(stdout) != 0) {
      fprintf(stderr, "profile_report: the report could not be written out.\n");
      status = 1;
    }
    memory_free(&block);
    break;
  }
  profiler_profile_free(&profile);
  return status;
}
