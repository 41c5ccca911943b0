#include "options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace extio_host {

const char* usage_text() {
  return "Usage: extio-host [--plugin PATH] [--sim usb|lan [--udp]] [--blocks N | --seconds S]\n"
         "                  [--out FILE.wav]"
         "\n"
         "                  [--freq HZ] [--att N] [--rate I] [--tune HZ] [--pattern]\n"
         "                  [--settings-dir DIR]\n"
         "\n"
         "Loads an ExtIO plug-in the way an SDR host does (dynamic loader, entry points by name)\n"
         "and prints what InitHW reports. With a streaming option it runs a session like a host:\n"
         "InitHW, SetCallback, OpenHW, StartHW64, copies every block, StopHW, CloseHW, and prints\n"
         "  summary blocks=<n> samples=<n> rate=<Hz> lo=<Hz> lost=<n> att=<index>\n"
         "(lost: blocks the host or the simulated receiver had to drop). Exit status 0 only when\n"
         "the requested blocks arrived.\n"
         "\n"
         "  --plugin PATH       the plug-in library (default: libExtIO_KMV410B211.so next to\n"
         "                      this program; ExtIO_KMV410B211.dll on Windows)\n"
         "  --sim usb           stream from the receiver simulator over its USB side\n"
         "  --sim lan           stream from the receiver simulator over the LAN, on loopback\n"
         "                      (127.0.0.1, TCP 55557 and UDP 55558): the address goes into\n"
         "                      the settings file first; the plug-in built into this program\n"
         "                      is used, since the transport is a choice in its panel\n"
         "  --udp               with --sim lan: the UDP stream instead of the TCP stream\n"
         "  --sim-library PATH  the simulator's bridge library (default: sim/ beside this "
         "program)\n"
         "  --pattern           the simulator sends its deterministic test pattern\n"
         "  --blocks N          stop after N blocks of 130560 samples\n"
         "  --seconds S         stop after S seconds\n"
         "  --out FILE.wav      record I (left) and Q (right) as 24-bit WAV at the reported rate\n"
         "  --freq HZ           LO for StartHW64 (default 7000000)\n"
         "  --att N             SetAttenuators(N) after the open\n"
         "  --rate I            ExtIoSetSrate(I) after the open: entry I of the rate list,\n"
         "                      which the session prints after the open (rates: ...)\n"
         "  --tune HZ           TuneChanged(HZ) after the start\n"
         "  --settings-dir DIR  keep the plug-in's settings file in DIR (default: a private\n"
         "                      folder, so your own settings file is left alone)\n"
         "  --firmware FILE     write FILE into the simulated receiver through the update\n"
         "                      window's own handlers (over USB, or the LAN with --sim lan);\n"
         "                      prints the final L_Send and L_Bytes and whether the image\n"
         "                      in the simulator equals the file; exit status 0 only on\n"
         "                      \"Transfer OK!\"\n"
         "  --help              this text\n";
}

bool parse_options(int argc, char** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      // "--out --blocks 5" lacks the file name rather than naming a file "--blocks".
      if (i + 1 >= argc || std::string(argv[i + 1]).rfind("--", 0) == 0) {
        error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--plugin") {
      if (!value(options.plugin)) return false;
    } else if (arg == "--firmware") {
      if (!value(options.firmware)) return false;
      if (options.sim.empty()) options.sim = "usb";
    } else if (arg == "--sim") {
      if (!value(options.sim)) return false;
      if (options.sim != "usb" && options.sim != "lan") {
        error = "--sim takes usb or lan, not '" + options.sim + "'";
        return false;
      }
      options.stream = true;
    } else if (arg == "--sim-library") {
      if (!value(options.sim_library)) return false;
    } else if (arg == "--udp") {
      options.udp = true;
    } else if (arg == "--pattern") {
      options.pattern = true;
    } else if (arg == "--blocks" || arg == "--seconds" || arg == "--freq" || arg == "--att" ||
               arg == "--rate" || arg == "--tune") {
      std::string v;
      if (!value(v)) return false;
      // Bounded so that the conversions below are defined; only --seconds takes a fraction.
      bool whole = arg != "--seconds";
      double most = arg == "--att" || arg == "--rate" ? 1000 : arg == "--seconds" ? 1e7 : 1e12;
      char* end = nullptr;
      double d = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !(d >= 0 && d <= most) || (whole && d != std::floor(d))) {
        char range[64];
        std::snprintf(range, sizeof range, "from 0 to %.0f", most);
        error = arg + (whole ? " needs a whole number " : " needs a number ") + range;
        return false;
      }
      if (arg == "--blocks") options.blocks = uint64_t(d);
      if (arg == "--seconds") options.seconds = d;
      if (arg == "--freq") options.freq = int64_t(d);
      if (arg == "--att") options.att = int(d);
      if (arg == "--rate") options.rate_index = int(d);
      if (arg == "--tune") options.tune = int64_t(d);
      options.stream = true;
    } else if (arg == "--out") {
      if (!value(options.out)) return false;
      options.stream = true;
    } else if (arg == "--settings-dir") {
      if (!value(options.settings_dir)) return false;
    } else {
      error = "unknown option: " + arg;
      return false;
    }
  }
  if (options.udp && (options.sim != "lan" || !options.firmware.empty())) {
    error = "--udp goes with --sim lan and a stream";
    return false;
  }
  if (options.sim == "lan" && !options.plugin.empty()) {
    error = "--sim lan uses the plug-in built into extio-host, not --plugin";
    return false;
  }
  return true;
}

}  // namespace extio_host
