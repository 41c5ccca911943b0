#include <algorithm>
#include <cstdio>

#include "platform/files.h"

namespace files {

bool read(const std::string& path, size_t max_bytes, std::string* content) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  content->clear();
  char buf[4096];
  while (content->size() < max_bytes) {
    size_t want = std::min(sizeof(buf), max_bytes - content->size());
    size_t n = std::fread(buf, 1, want, f);
    if (n == 0) break;
    content->append(buf, n);
  }
  std::fclose(f);
  return true;
}

}  // namespace files
