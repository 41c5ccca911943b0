// extio-host --firmware: a firmware update run through the update window's own handlers, with
// the plug-in's modules linked in (its exports alone cannot reach the window), against the
// receiver simulator.
#pragma once

#include "options.h"
#include "simulator.h"

namespace extio_host {

// Exit status: 0 only when the window ends with "Transfer OK!".
int run_firmware_update(const Options& options, const Simulator& sim);

}  // namespace extio_host
