// The plug-in's modules linked into extio-host, for the modes that need its windows: the LAN
// transport and the firmware update are choices in the panel and the update window, which the
// exports do not reach. Also the simulator's LAN side, found in its already loaded library.
#pragma once

#include <cstdint>

#include "kmvsim.h"
#include "plugin_library.h"

namespace extio_host {

// The plug-in reaches a LAN receiver on these fixed ports of the address in its settings file.
constexpr uint32_t kLanTcpPort = 55557;
constexpr uint32_t kLanUdpPort = 55558;

struct LanSide {
  decltype(&::KMVSIM_LanStart) Start = nullptr;
  decltype(&::KMVSIM_LanStop) Stop = nullptr;
  decltype(&::KMVSIM_LanReset) Reset = nullptr;
  decltype(&::KMVSIM_LanSetRealTime) SetRealTime = nullptr;
  decltype(&::KMVSIM_LanGetState) GetState = nullptr;

  // False when the loaded simulator has no LAN side.
  bool load();
  // Reset, real-time pacing as set, listening on 127.0.0.1 at the fixed ports.
  bool listen_on_loopback(bool real_time);
  uint64_t frames_dropped() const;
  // Frames and datagrams the receiver sent, stream starts it took: one line on stdout.
  void report() const;
};

// A function of the simulator's bridge library, which is already loaded; nullptr when absent.
void* simulator_symbol(const char* name);
template <typename Fn>
bool find_simulator(const char* name, Fn& slot) {
  slot = reinterpret_cast<Fn>(simulator_symbol(name));
  return slot != nullptr;
}

// The entry points of the linked-in plug-in.
EntryPoints linked_entry_points();

// A settings file in the working directory whose receiver address is loopback, written by the
// panel itself: the plug-in then never looks for a receiver on the network.
void write_loopback_settings();

// Waits until the panel shows the link open (CB_LAN or CB_USB checked); false after ms.
bool wait_for_link(bool lan, int ms);

// The transport the panel offers after a LAN discovery: UDP when the receiver answered there.
bool choose_udp();

// LAN frames the plug-in counted as lost since the open.
uint64_t lan_lost();

}  // namespace extio_host
