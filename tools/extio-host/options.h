// Command line of extio-host. Plain argv parsing: each option is a word, values follow as the
// next word.
#pragma once

#include <cstdint>
#include <string>

namespace extio_host {

struct Options {
  bool help = false;
  std::string plugin;  // empty: the plug-in next to the executable
  // Streaming (any of these makes a streaming session).
  std::string sim;           // "usb" or "lan": the simulated receiver; empty: real hardware
  bool udp = false;          // --sim lan: stream over UDP instead of TCP
  std::string sim_library;   // empty: the simulator beside the executable
  bool pattern = false;      // the simulator sends its test pattern instead of tones
  bool stream = false;       // a session was asked for
  uint64_t blocks = 0;       // stop after this many blocks (0: by time)
  double seconds = 0;        // stop after this long (0: by blocks)
  std::string out;           // WAV file, empty: none
  int64_t freq = 7000000;    // LO handed to StartHW64, Hz
  int att = -1;              // SetAttenuators index, -1: leave
  int rate_index = -1;       // ExtIoSetSrate index after the open, -1: leave
  int64_t tune = -1;         // TuneChanged frequency, -1: none
  std::string settings_dir;  // working directory for the settings file; empty: a private one
  std::string firmware;      // --firmware FILE: an update run against the simulator
};

// False with error set on an unknown option or a missing value.
bool parse_options(int argc, char** argv, Options& options, std::string& error);
const char* usage_text();

}  // namespace extio_host
