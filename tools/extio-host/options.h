// Command line of extio-host. Plain argv parsing: each option is a word, values follow as the
// next word.
#pragma once

#include <string>

namespace extio_host {

struct Options {
  bool help = false;
  std::string plugin;  // empty: the plug-in next to the executable
};

// False with error set on an unknown option or a missing value.
bool parse_options(int argc, char** argv, Options& options, std::string& error);
const char* usage_text();

}  // namespace extio_host
