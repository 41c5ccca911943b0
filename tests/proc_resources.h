// What the process holds, from /proc: open descriptors, threads and resident pages. For the
// soak runs, in process and in the host programs.
#pragma once

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <fstream>

namespace harness {

// Entries of a /proc folder; `own` is what the listing itself holds open (its descriptor).
inline int count_entries(const char* dir, int own) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n - own;
}

struct Resources {
  int fds = 0, threads = 0;
  long rss_pages = 0;
};

// Free memory the allocator keeps in its arenas is given back first: it is not held for good.
inline Resources resources() {
  malloc_trim(0);
  Resources r;
  r.fds = count_entries("/proc/self/fd", 1);
  r.threads = count_entries("/proc/self/task", 0);
  long size = 0;
  std::ifstream("/proc/self/statm") >> size >> r.rss_pages;
  return r;
}

}  // namespace harness
