// A streaming session as an SDR host runs one: InitHW, SetCallback, OpenHW, StartHW64, blocks
// copied off the plug-in's threads into a WAV file, StopHW, CloseHW, and a summary line.
#pragma once

#include <cstdint>
#include <functional>

#include "options.h"
#include "plugin_library.h"

namespace extio_host {

// Exit status: 0 when the requested blocks arrived. receiver_lost, when given, adds the blocks
// the receiver had to drop to the summary's lost count.
int run_session(const PluginLibrary& lib, const Options& options,
                const std::function<uint64_t()>& receiver_lost);

}  // namespace extio_host
