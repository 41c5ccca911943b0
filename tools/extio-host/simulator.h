// The receiver simulator as extio-host uses it: its bridge library loaded by full path before
// the plug-in, so that the plug-in's own loader finds it by name, plus the control functions.
#pragma once

#include <cstdint>
#include <string>

#include "kmvsim.h"

namespace extio_host {

struct Simulator {
  decltype(&::KMVSIM_Reset) Reset = nullptr;
  decltype(&::KMVSIM_GetState) GetState = nullptr;
  decltype(&::KMVSIM_SetTestPattern) SetTestPattern = nullptr;
  decltype(&::KMVSIM_SetRealTime) SetRealTime = nullptr;
  decltype(&::KMVSIM_SetPresent) SetPresent = nullptr;

  // Load the bridge library; false with error set when it or a control function is missing.
  bool load(const std::string& path, std::string& error);
  // Blocks the receiver dropped because nothing read them.
  uint64_t dropped_blocks() const;
};

// The simulator's bridge library shipped beside this program (sim/ below its folder).
std::string default_simulator_path();

}  // namespace extio_host
