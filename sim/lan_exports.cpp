// The KMVSIM_Lan* control functions of the simulator's bridge library: the LAN side of the same
// process-wide receiver that the bridge operations reach.
#include <mutex>
#include <string>

#include "kmvsim.h"
#include "lan_server.h"
#include "usb_device.h"

#if defined(_WIN32)
#define KMV_EXPORT  // exported through FTD3XX.def
#else
#define KMV_EXPORT __attribute__((visibility("default")))
#endif

namespace kmvsim {
UsbDevice& bridge_device();  // bridge_exports.cpp
}  // namespace kmvsim

namespace {

std::mutex server_mutex;  // creation of the server; the server itself is safe from any thread

// Never destroyed, like the receiver it serves: a static destructor would join its thread at
// unload. KMVSIM_LanStop ends the thread.
kmvsim::LanServer& server() {
  std::lock_guard<std::mutex> lock(server_mutex);
  static kmvsim::LanServer* s = new kmvsim::LanServer(kmvsim::bridge_device());
  return *s;
}

template <typename F>
int guarded(F&& f) {
  try {
    return f();
  } catch (...) {
    return 0;
  }
}

}  // namespace

extern "C" {

KMV_EXPORT int KMVSIM_CALL KMVSIM_LanStart(const char* bind_address, uint32_t tcp_port,
                                           uint32_t udp_port) {
  if (tcp_port > 0xFFFF || udp_port > 0xFFFF) return 0;
  return guarded([&] {
    return int(
        server().start(bind_address ? bind_address : "", uint16_t(tcp_port), uint16_t(udp_port)));
  });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_LanStop(void) {
  guarded([] {
    server().stop();
    return 1;
  });
}

KMV_EXPORT int KMVSIM_CALL KMVSIM_LanGetState(KMVSIM_LanState* state) {
  if (!state || state->size < sizeof(KMVSIM_LanState)) return 0;
  return guarded([&] {
    server().state(*state);
    return 1;
  });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_LanReset(void) {
  guarded([] {
    server().reset();
    return 1;
  });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_LanSetRealTime(int32_t on) {
  guarded([&] {
    server().set_real_time(on != 0);
    return 1;
  });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_LanSetSilent(int32_t silent) {
  guarded([&] {
    server().set_silent(silent != 0);
    return 1;
  });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_LanAnswer(int32_t udp, int32_t tcp) {
  guarded([&] {
    server().answer(udp != 0, tcp != 0);
    return 1;
  });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_LanDatagramFault(uint32_t kind, uint32_t index,
                                                    uint32_t frames) {
  guarded([&] {
    server().datagram_fault(kind, index, frames);
    return 1;
  });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_LanBadMarkers(uint32_t frames) {
  guarded([&] {
    server().bad_markers(frames);
    return 1;
  });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_LanSkipFrames(uint32_t count) {
  guarded([&] {
    server().skip_frames(count);
    return 1;
  });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_LanDropConnections(void) {
  guarded([] {
    server().drop_connections();
    return 1;
  });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_LanTearFrames(uint32_t frames) {
  guarded([&] {
    server().tear_frames(frames);
    return 1;
  });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_LanSetupRestart(int32_t on) {
  guarded([&] {
    server().setup_restart(on != 0);
    return 1;
  });
}

}  // extern "C"
