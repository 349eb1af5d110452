// Replays fuzz inputs without libFuzzer: every file named on the command line, or every file
// inside a named folder, is handed to the target once.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static int replay_file(const std::string &path) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) {
    fprintf(stderr, "cannot open %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  fclose(f);
  // A copy of exactly the input's length, so the sanitizer sees any read past its end.
  uint8_t *copy = (uint8_t *)malloc(bytes.size() ? bytes.size() : 1);
  if (!bytes.empty()) memcpy(copy, bytes.data(), bytes.size());
  LLVMFuzzerTestOneInput(copy, bytes.size());
  free(copy);
  return 0;
}

int main(int argc, char **argv) {
  int failures = 0, count = 0;
  for (int i = 1; i < argc; i++) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      fprintf(stderr, "missing %s\n", argv[i]);
      failures++;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      DIR *dir = opendir(argv[i]);
      struct dirent *e;
      while (dir && (e = readdir(dir))) {
        if (e->d_name[0] == '.') continue;
        failures += replay_file(std::string(argv[i]) + "/" + e->d_name);
        count++;
      }
      if (dir) closedir(dir);
    } else {
      failures += replay_file(argv[i]);
      count++;
    }
  }
  printf("replayed %d inputs\n", count);
  return failures ? 1 : 0;
}
