// A streaming session as an SDR host runs one: InitHW, SetCallback, OpenHW, StartHW64, blocks
// copied off the plug-in's threads into a WAV file, StopHW, CloseHW, and a summary line.
#pragma once

#include <cstdint>
#include <functional>

#include "options.h"
#include "plugin_library.h"

namespace extio_host {

// What a mode adds to the plain session; every member may be empty.
struct SessionHooks {
  // In the session's working folder, before OpenHW (a settings file to start from).
  std::function<void()> before_open;
  // After OpenHW, before StartHW64; false ends the session with exit status 5.
  std::function<bool()> before_start;
  // Blocks or frames lost on the way, the summary's lost count adds what it grew by.
  std::function<uint64_t()> receiver_lost;
  // After CloseHW, before the summary: lines of its own on stdout.
  std::function<void()> report;
};

// Wait ms as a host's thread waits: on Windows it runs its message loop meanwhile, since the
// plug-in's windows and timers live on the thread that opened it.
void wait_pumping(int ms);

// Exit status: 0 when the requested blocks arrived.
int run_session(const EntryPoints& e, const Options& options, const SessionHooks& hooks);

}  // namespace extio_host
