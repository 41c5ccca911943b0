#include "lan_session.h"

#include <cstdio>

#include "linked_plugin.h"
#include "session.h"

namespace extio_host {

namespace {

constexpr int kLinkWaitMs = 10000;

}  // namespace

int run_lan_session(const Options& options, const Simulator& sim) {
  LanSide lan;
  if (!lan.load()) {
    std::fprintf(stderr, "extio-host: the simulator has no LAN side\n");
    return 3;
  }
  sim.SetPresent(0);  // without a USB receiver the plug-in looks on the LAN
  if (!lan.listen_on_loopback(true)) {
    std::fprintf(stderr, "extio-host: the simulator cannot listen on 127.0.0.1:%u\n",
                 unsigned(kLanTcpPort));
    return 3;
  }
  SessionHooks hooks;
  hooks.before_open = write_loopback_settings;
  hooks.before_start = [&options] {
    if (!wait_for_link(true, kLinkWaitMs)) {
      std::fprintf(stderr, "extio-host: the simulated receiver did not open over the LAN\n");
      return false;
    }
    if (options.udp && !choose_udp()) {
      std::fprintf(stderr, "extio-host: the receiver offers no UDP stream\n");
      return false;
    }
    return true;
  };
  // Frames the plug-in counted as lost, and those the receiver could not send in time.
  hooks.receiver_lost = [&lan] { return lan_lost() + lan.frames_dropped(); };
  hooks.report = [&lan] { lan.report(); };
  int status = run_session(linked_entry_points(), options, hooks);
  lan.Stop();
  return status;
}

}  // namespace extio_host
