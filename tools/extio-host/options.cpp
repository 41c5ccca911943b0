#include "options.h"

namespace extio_host {

const char* usage_text() {
  return "Usage: extio-host [--plugin PATH]\n"
         "\n"
         "Loads an ExtIO plug-in the way an SDR host does (dynamic loader, entry points by name)\n"
         "and prints what InitHW reports.\n"
         "\n"
         "  --plugin PATH   the plug-in library (default: libExtIO_KMV410B211.so next to this\n"
         "                  program; ExtIO_KMV410B211.dll on Windows)\n"
         "  --help          this text\n";
}

bool parse_options(int argc, char** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--plugin") {
      if (!value(options.plugin)) return false;
    } else {
      error = "unknown option: " + arg;
      return false;
    }
  }
  return true;
}

}  // namespace extio_host
