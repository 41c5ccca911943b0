// extio-host --sim lan: a streaming session with the simulated receiver on the network side
// only, reached on loopback through the panel's address, over TCP or (--udp) UDP.
#pragma once

#include "options.h"
#include "simulator.h"

namespace extio_host {

// Exit status as run_session's; 3 when the simulator cannot serve the LAN.
int run_lan_session(const Options& options, const Simulator& sim);

}  // namespace extio_host
