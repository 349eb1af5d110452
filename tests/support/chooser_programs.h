// Stand-ins for the file chooser programs (zenity, kdialog, yad) that the file dialog starts:
// shell scripts written into a folder the test puts on PATH. Each records its arguments, one per
// line, in "<name>.args" (the record appears whole, so its presence says the dialog is open),
// prints the answer and exits with the code. A held one stays open, as a user takes a moment,
// until the test releases it; release_all (or a minute passing) lets every one go, so none is
// left running.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct test_chooser_programs {
  std::string folder;  // the programs and their records
  std::vector<std::string> names;

  void write(const std::string &name, const std::string &answer, int code, bool held = false) {
    std::string record = folder + "/" + name + ".args";
    std::string go = folder + "/" + name + ".go";
    std::ofstream script(folder + "/" + name);
    // Only absolute paths: the test's PATH may hold this folder alone.
    script << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << record << ".part'\n/bin/mv '" << record << ".part' '" << record
           << "'\n";
    if (held) script << "i=0\nwhile [ ! -e '" << go << "' ] && [ $i -lt 6000 ]; do /bin/sleep 0.01; i=$((i+1)); done\n";
    if (!answer.empty()) script << "printf '%s\\n' '" << answer << "'\n";
    script << "exit " << code << "\n";
    script.close();
    chmod((folder + "/" + name).c_str(), 0755);
    unlink(record.c_str());
    unlink(go.c_str());
    names.push_back(name);
  }
  void remove(const std::string &name) { unlink((folder + "/" + name).c_str()); }
  bool shown(const std::string &name) const { return access((folder + "/" + name + ".args").c_str(), F_OK) == 0; }
  void release(const std::string &name) const { std::ofstream(folder + "/" + name + ".go"); }
  void release_all() const {
    for (const std::string &name : names) release(name);
  }
  std::vector<std::string> args_of(const std::string &name) const {
    std::ifstream in(folder + "/" + name + ".args");
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
};
