#include "update/file_lists.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace update {

namespace fs = std::filesystem;

namespace {

char fold(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

template <class Keep>
std::vector<std::string> list(const std::string& directory, Keep keep) {
  std::vector<std::string> names;
  std::error_code ec;
  try {
    fs::directory_iterator it(fs::path(directory), fs::directory_options::skip_permission_denied,
                              ec);
    // Bounded: a folder with more entries than a list can sensibly show is cut short.
    for (size_t n = 0; !ec && it != fs::directory_iterator() && n < 100000; it.increment(ec), ++n) {
      if (keep(*it)) names.push_back(it->path().filename().string());
    }
  } catch (...) {  // a name the narrow character set cannot hold ends the list there
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<std::string> drives() {
#if defined(_WIN32)
  std::vector<std::string> roots;
  for (char d = 'C'; d <= 'Z'; ++d) {  // A: and B: may be floppies that stall when asked
    std::string root = std::string(1, d) + ":\\";
    std::error_code ec;
    if (fs::is_directory(root, ec)) roots.push_back(root);
  }
  return roots;
#else
  return {"/"};
#endif
}

std::string drive_of(const std::string& path) {
  std::string root = fs::path(path).root_path().string();
  return root.empty() ? drives().front() : root;
}

std::vector<std::string> subdirectories(const std::string& directory) {
  return list(directory, [](const fs::directory_entry& e) {
    std::error_code ec;
    return e.is_directory(ec);
  });
}

std::vector<std::string> matching_files(const std::string& directory, const std::string& mask) {
  return list(directory, [&](const fs::directory_entry& e) {
    std::error_code ec;
    return e.is_regular_file(ec) && mask_matches(mask, e.path().filename().string());
  });
}

bool mask_matches(const std::string& mask, const std::string& name) {
  // Iterative wildcard match: remember the last '*' and how much of the name it has taken.
  size_t m = 0, n = 0, star = std::string::npos, taken = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || fold(mask[m]) == fold(name[n]))) {
      ++m;
      ++n;
    } else if (m < mask.size() && mask[m] == '*') {
      star = m++;
      taken = n;
    } else if (star != std::string::npos) {
      m = star + 1;
      n = ++taken;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

std::string join_path(const std::string& directory, const std::string& name) {
  return (fs::path(directory) / name).string();
}

}  // namespace update
