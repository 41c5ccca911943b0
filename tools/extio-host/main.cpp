// extio-host: a small SDR host for the KMV410 plug-in.
#include <cstdio>
#include <functional>
#include <string>

#include "firmware.h"
#include "lan_session.h"
#include "options.h"
#include "plugin_library.h"
#include "session.h"
#include "simulator.h"
#include "wav_writer.h"

namespace {

using extio_host::PluginLibrary;

std::string join(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

// What a host does first: ask the plug-in which receiver it drives.
int report_init(const PluginLibrary& lib) {
  char name[64] = {};
  char model[64] = {};
  int32_t type = 0;
  bool ok = lib.entry().InitHW(name, model, &type);
  std::printf("InitHW: %s\n", ok ? "true" : "false");
  std::printf("  name:  \"%s\"\n", name);
  std::printf("  model: \"%s\"\n", model);
  std::printf("  type:  %d%s\n", static_cast<int>(type), type == 5 ? " (24-bit signed I/Q)" : "");
  // The rate list needs an open receiver (a session prints it); the LO range does not.
  int32_t low = 0, high = 0;
  if (lib.entry().ExtIoGetFreqRanges && lib.entry().ExtIoGetFreqRanges(0, &low, &high) == 0) {
    std::printf("  LO range: %d .. %d Hz\n", static_cast<int>(low), static_cast<int>(high));
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  extio_host::Options options;
  std::string error;
  if (!extio_host::parse_options(argc, argv, options, error)) {
    std::fprintf(stderr, "extio-host: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(extio_host::usage_text(), stdout);
    return 0;
  }
  // Before the receiver is touched: a session must not stream only to find it cannot record.
  if (!options.out.empty() && !extio_host::can_write_file(options.out, error)) {
    std::fprintf(stderr, "extio-host: cannot write %s: %s\n", options.out.c_str(), error.c_str());
    return 2;
  }
  std::string path = options.plugin.empty() ? extio_host::default_plugin_path() : options.plugin;

  // The simulator goes in first: the plug-in then finds its bridge library by name.
  extio_host::Simulator sim;
  if (!options.sim.empty()) {
    std::string sim_path =
        options.sim_library.empty() ? extio_host::default_simulator_path() : options.sim_library;
    if (!sim.load(sim_path, error)) {
      std::fprintf(stderr, "extio-host: %s\n", error.c_str());
      return 3;
    }
    sim.Reset();
    sim.SetPresent(1);
    sim.SetTestPattern(options.pattern ? 1 : 0);
  }
  if (!options.firmware.empty()) return extio_host::run_firmware_update(options, sim);
  if (options.sim == "lan") return extio_host::run_lan_session(options, sim);

  PluginLibrary lib;
  if (!lib.load(path)) {
    std::fprintf(stderr, "extio-host: %s\n", lib.error().c_str());
    return 3;
  }
  std::printf("plug-in: %s\n", path.c_str());
  if (!lib.missing_optional().empty()) {
    std::printf("optional entry points absent: %s\n", join(lib.missing_optional()).c_str());
  }
  if (!lib.missing_extensions().empty()) {
    std::printf("extensions absent: %s\n", join(lib.missing_extensions()).c_str());
  }
  if (!lib.missing_mandatory().empty()) {
    std::fprintf(stderr, "extio-host: mandatory entry points missing: %s\n",
                 join(lib.missing_mandatory()).c_str());
    return 4;
  }
  int status = report_init(lib);
  std::fflush(stdout);
  if (status != 0 || !options.stream) return status;
  extio_host::SessionHooks hooks;
  if (!options.sim.empty()) hooks.receiver_lost = [&sim] { return sim.dropped_blocks(); };
  return extio_host::run_session(lib.entry(), options, hooks);
}
