// The simulated receiver's LAN side: TCP (identify, start and stop of the TCP stream, commands,
// the TCP stream of LAN frames) and UDP (identify probe, the datagram stream), on the device
// model that the USB side uses too. One thread serves every socket; frames are paced in real
// time at the LAN stream's rate, or sent as fast as the link takes them.
//
// Every member function may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kmvsim.h"

namespace kmvsim {

class UsbDevice;

class LanServer {
 public:
  static constexpr uint16_t kTcpPort = 55557;
  static constexpr uint16_t kUdpPort = 55558;
  static constexpr const char* kDefaultBind = "127.0.0.1";

  explicit LanServer(UsbDevice& device);
  ~LanServer();
  LanServer(const LanServer&) = delete;
  LanServer& operator=(const LanServer&) = delete;

  // Bind both ports and serve. An empty address means 127.0.0.1; addresses that are not on a
  // loopback interface are refused, so the simulator never serves a real network. Port 0 takes a
  // free port. False, with nothing running, when binding fails. A running server stops first.
  bool start(const std::string& bind_address, uint16_t tcp_port, uint16_t udp_port);
  // Close every socket and end the serving thread; prompt (the thread never blocks long).
  void stop();
  bool running() const;

  // Control (see kmvsim.h).
  void state(KMVSIM_LanState& out) const;
  void reset();
  void set_real_time(bool on);
  void set_silent(bool silent);
  void answer(bool udp, bool tcp);
  void datagram_fault(uint32_t kind, uint32_t index, uint32_t frames);
  void bad_markers(uint32_t frames);
  void skip_frames(uint32_t count);
  void tear_frames(uint32_t frames);
  void drop_connections();
  void setup_restart(bool on);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kmvsim
