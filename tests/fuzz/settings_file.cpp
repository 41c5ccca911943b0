// The panel's settings file reader on any text, then a round trip: what the writer makes of the
// panel must read back without error and write again to the same text.
#include "control/settings_file.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "control/Form1.h"
#include "platform/ui.h"

namespace {

TF_RDR1* panel() {
  static TF_RDR1* f = [] {
    // Made in an empty folder of our own, since the panel reads its file from the working
    // directory; then back, for libFuzzer's relative paths. The panel is never destroyed, so it
    // writes no file.
    std::error_code ec;
    const std::filesystem::path back = std::filesystem::current_path();
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kmv-fuzz-settings-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    if (chdir(dir.c_str()) != 0) std::abort();
    ui::suppress_message_boxes(true);
    TF_RDR1* made = nullptr;
    ui::run_on_ui([&] { made = new TF_RDR1(); });
    if (chdir(back.c_str()) != 0) std::abort();
    std::filesystem::remove_all(dir, ec);
    return made;
  }();
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TF_RDR1* f = panel();
  static const std::string design = [f] {
    std::string t;
    ui::run_on_ui([&] { t = settings::text_of(*f); });
    return t;
  }();
  const std::string content(reinterpret_cast<const char*>(data), size);
  bool ok = ui::run_on_ui([&] {
    if (!settings::restore_text(*f, design, "KMV410V2.11").empty()) std::abort();
    settings::restore_text(*f, content, "KMV410V2.11");
    const std::string first = settings::text_of(*f);
    const std::string error = settings::restore_text(*f, first, "KMV410V2.11");
    if (!error.empty()) {
      std::fprintf(stderr, "written file does not read back: %s\n", error.c_str());
      std::abort();
    }
    if (settings::text_of(*f) != first) {
      std::fprintf(stderr, "round trip changed the file:\n%s\n", first.c_str());
      std::abort();
    }
  });
  if (!ok) std::abort();
  return 0;
}
