// Linked into every test that may make the plug-in look for a receiver on the network: such a
// test runs only where the receiver's design address lives on loopback. Started any other way
// (straight from a build folder, say), it runs itself again through its namespace script, which
// sets that up or skips the test.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// True when loopback is the only network interface this process can reach.
bool only_loopback() {
  std::ifstream dev("/proc/self/net/dev");
  std::string line;
  for (int n = 0; std::getline(dev, line); ++n) {
    if (n < 2) continue;  // two header lines
    std::string name = line.substr(0, line.find(':'));
    name.erase(0, name.find_first_not_of(' '));
    if (name != "lo") return false;
  }
  return true;
}

struct Contained {
  Contained() {
    if (only_loopback()) return;
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> words;
    for (std::string w; std::getline(in, w, '\0');) words.push_back(w);
    std::vector<char*> args = {const_cast<char*>(KMV_CONTAINED_RUNNER)};
    static char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) _exit(1);
    args.push_back(self);
    for (size_t i = 1; i < words.size(); ++i) args.push_back(words[i].data());
    args.push_back(nullptr);
    execv(KMV_CONTAINED_RUNNER, args.data());
    std::perror(KMV_CONTAINED_RUNNER);
    _exit(1);
  }
} g_contained;

}  // namespace
