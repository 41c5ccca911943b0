// extio-host loads plug-ins through the real dynamic loader, as an SDR host does.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "options.h"
#include "plugin_library.h"
#include "wav_writer.h"

namespace {

using extio_host::PluginLibrary;
using Names = std::vector<std::string>;

struct HostRun {
  int status = -1;
  std::string output;  // stdout and stderr together
};

HostRun run_host(const std::string& args) {
  HostRun r;
  std::string command = std::string(EXTIO_HOST_EXE) + " " + args + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  if (!p) return r;
  std::array<char, 512> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), p)) > 0) r.output.append(buffer.data(), n);
  int raw = pclose(p);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

TEST(PluginLibrary, FindsAllTwentyOneNamesOfThePlugin) {
  PluginLibrary lib;
  ASSERT_TRUE(lib.load(PLUGIN_PATH)) << lib.error();
  EXPECT_TRUE(lib.usable());
  EXPECT_EQ(lib.missing_mandatory(), Names{});
  EXPECT_EQ(lib.missing_optional(), Names{});
  const auto& e = lib.entry();
  EXPECT_TRUE(e.StartHW64 && e.SetHWLO64 && e.GetHWLO64 && e.SetAttenuators && e.ExtIoSDRInfo);
  EXPECT_EQ(lib.missing_extensions(), Names{});
  EXPECT_TRUE(e.ExtIoGetSrates && e.ExtIoGetActualSrateIdx && e.ExtIoSetSrate &&
              e.ExtIoGetBandwidth && e.ExtIoGetFreqRanges);

  char name[16] = {};
  char model[16] = {};
  int32_t type = 0;
  EXPECT_TRUE(e.InitHW(name, model, &type));
  EXPECT_STREQ(name, "KMV410");
  EXPECT_STREQ(model, "KMV410B2");
  EXPECT_EQ(type, 5);
  float att = 0;
  EXPECT_EQ(e.GetAttenuators(35, &att), 0);
  EXPECT_EQ(att, -28.0f);
}

TEST(PluginLibrary, SortsAbsentNamesIntoMandatoryAndOptional) {
  PluginLibrary partial;
  ASSERT_TRUE(partial.load(STUB_PARTIAL_PATH)) << partial.error();
  EXPECT_FALSE(partial.usable());
  EXPECT_EQ(partial.missing_mandatory(), (Names{"OpenHW", "StartHW", "StopHW", "CloseHW", "SetHWLO",
                                                "GetStatus", "SetCallback"}));
  EXPECT_EQ(partial.missing_optional().size(), 12u);  // all 13 optional names but GetHWSR
  EXPECT_NE(partial.entry().GetHWSR, nullptr);
  EXPECT_EQ(partial.entry().GetHWSR(), 48000);

  PluginLibrary minimal;
  ASSERT_TRUE(minimal.load(STUB_MANDATORY_PATH)) << minimal.error();
  EXPECT_TRUE(minimal.usable());
  EXPECT_EQ(minimal.missing_optional(),
            (Names{"StartHW64", "SetHWLO64", "GetHWLO", "GetHWLO64", "GetHWSR", "TuneChanged",
                   "ShowGUI", "HideGUI", "VersionInfo", "ExtIoSDRInfo", "GetAttenuators",
                   "GetActualAttIdx", "SetAttenuators"}));
  EXPECT_EQ(minimal.entry().GetHWLO64, nullptr);
  EXPECT_EQ(minimal.missing_extensions().size(), 5u);  // tolerated like any optional name
  EXPECT_EQ(minimal.entry().ExtIoSetSrate, nullptr);
}

TEST(PluginLibrary, LoaderFailuresAndReloads) {
  PluginLibrary lib;
  EXPECT_FALSE(lib.load("/nonexistent/libExtIO_none.so"));
  EXPECT_FALSE(lib.loaded());
  EXPECT_NE(lib.error().find("libExtIO_none.so"), std::string::npos) << lib.error();

  // A second load replaces the first completely: nothing of the old library's lists remains.
  ASSERT_TRUE(lib.load(STUB_PARTIAL_PATH));
  ASSERT_TRUE(lib.load(STUB_MANDATORY_PATH));
  EXPECT_TRUE(lib.usable());
  EXPECT_EQ(lib.entry().GetHWSR, nullptr);
  lib.unload();
  EXPECT_FALSE(lib.loaded());
  EXPECT_EQ(lib.entry().InitHW, nullptr);
}

TEST(PluginLibrary, BareFileNameMeansTheWorkingDirectoryNotTheLibraryPath) {
  std::string path = STUB_MANDATORY_PATH;
  std::string folder = path.substr(0, path.rfind('/'));
  std::string file = path.substr(path.rfind('/') + 1);
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir(folder.c_str()), 0);
  PluginLibrary lib;
  bool loaded = lib.load(file);
  EXPECT_EQ(chdir(here), 0);
  EXPECT_TRUE(loaded) << lib.error();
}

TEST(Options, ParsesPluginAndHelpAndRejectsTheRest) {
  auto parse = [](std::vector<std::string> words, extio_host::Options& o, std::string& error) {
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    return extio_host::parse_options(static_cast<int>(argv.size()), argv.data(), o, error);
  };
  extio_host::Options o;
  std::string error;
  EXPECT_TRUE(parse({"extio-host", "--plugin", "/x/y.so"}, o, error));
  EXPECT_EQ(o.plugin, "/x/y.so");
  EXPECT_FALSE(o.help);
  EXPECT_TRUE(parse({"extio-host", "--help"}, o, error));
  EXPECT_TRUE(o.help);

  extio_host::Options fresh;
  EXPECT_FALSE(parse({"extio-host", "--plugin"}, fresh, error));
  EXPECT_EQ(error, "--plugin needs a value");
  EXPECT_FALSE(parse({"extio-host", "--bogus"}, fresh, error));
  EXPECT_EQ(error, "unknown option: --bogus");
  EXPECT_FALSE(parse({"extio-host", "--sim", "serial"}, fresh, error));
  EXPECT_FALSE(parse({"extio-host", "--blocks", "-3"}, fresh, error));
  extio_host::Options s;
  EXPECT_TRUE(parse({"extio-host", "--sim", "usb", "--blocks", "8", "--out", "a.wav"}, s, error));
  EXPECT_TRUE(s.stream);
  EXPECT_EQ(s.blocks, 8u);
  EXPECT_EQ(s.out, "a.wav");
  EXPECT_FALSE(parse({"extio-host", "plugin.so"}, fresh, error));
}

TEST(ExtioHost, ReportsWhatInitHWSaysForThePluginBesideIt) {
  HostRun r = run_host("");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("libExtIO_KMV410B211.so"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("name:  \"KMV410\""), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("model: \"KMV410B2\""), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("type:  5"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("LO range: 100000 .. 250000000 Hz"), std::string::npos) << r.output;
}

TEST(ExtioHost, ExitStatusTellsWhatWentWrong) {
  HostRun help = run_host("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("--plugin PATH"), std::string::npos) << help.output;

  EXPECT_EQ(run_host("--frobnicate").status, 2);
  EXPECT_EQ(run_host("--plugin /nonexistent/lib.so").status, 3);

  HostRun partial = run_host(std::string("--plugin ") + STUB_PARTIAL_PATH);
  EXPECT_EQ(partial.status, 4) << partial.output;
  EXPECT_NE(partial.output.find("mandatory entry points missing: OpenHW StartHW StopHW CloseHW "
                                "SetHWLO GetStatus SetCallback"),
            std::string::npos)
      << partial.output;
  EXPECT_EQ(partial.output.find("InitHW:"), std::string::npos) << "must not call into it";

  HostRun minimal = run_host(std::string("--plugin ") + STUB_MANDATORY_PATH);
  EXPECT_EQ(minimal.status, 0) << minimal.output;
  EXPECT_NE(minimal.output.find("optional entry points absent: StartHW64"), std::string::npos);
  EXPECT_NE(minimal.output.find("model: \"STUBMODEL\""), std::string::npos) << minimal.output;
  EXPECT_NE(minimal.output.find("type:  7"), std::string::npos) << minimal.output;
}

// Each mistake on the command line is one line that names it, not the usage text. The stand-in
// plug-in is named so that a parse that wrongly succeeds drives no receiver.
TEST(ExtioHost, BadOptionsAreOneLineAndStatusTwo) {
  const std::string stub = std::string("--plugin ") + STUB_MANDATORY_PATH + " ";
  struct Case {
    std::string args, line;
  };
  for (const Case& c : std::vector<Case>{
           {"--blocks abc",
            "extio-host: --blocks needs a whole number from 0 to 1000000000000 (see --help)\n"},
           {"--seconds -1",
            "extio-host: --seconds needs a number from 0 to 10000000 (see --help)\n"},
           // Beyond what the integer options hold, or not a number at all: refused, not converted.
           {"--freq 1e30",
            "extio-host: --freq needs a whole number from 0 to 1000000000000 (see --help)\n"},
           {"--att nan", "extio-host: --att needs a whole number from 0 to 1000 (see --help)\n"},
           {"--blocks 1.5",
            "extio-host: --blocks needs a whole number from 0 to 1000000000000 (see --help)\n"},
           {"--sim foo --blocks 1", "extio-host: --sim takes usb or lan, not 'foo' (see --help)\n"},
           {"--frobnicate", "extio-host: unknown option: --frobnicate (see --help)\n"},
           {"--blocks 1 --out", "extio-host: --out needs a value (see --help)\n"},
           {"--out --blocks 1", "extio-host: --out needs a value (see --help)\n"},
       }) {
    HostRun r = run_host(stub + c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_EQ(r.output, c.line) << c.args;
  }
}

// An --out that cannot be written is refused before the plug-in is loaded, not after a stream.
TEST(ExtioHost, UnwritableOutIsRefusedBeforeThePlugin) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("extio-host-out-" + std::to_string(getpid()));
  fs::create_directories(dir);
  struct Case {
    std::string out, reason;
  };
  for (const Case& c : std::vector<Case>{
           {(dir / "missing" / "iq.wav").string(), "No such file or directory"},
           {dir.string(), "Is a directory"},
           {"/sys/iq.wav", ""},  // read-only even for root
       }) {
    HostRun r =
        run_host(std::string("--plugin ") + STUB_MANDATORY_PATH + " --blocks 1 --out " + c.out);
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_EQ(r.output.rfind("extio-host: cannot write " + c.out + ": " + c.reason, 0), 0u)
        << r.output;
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
    EXPECT_EQ(r.output.find("plug-in:"), std::string::npos) << "the plug-in was loaded";
  }

  // A file that can be written is left as it was until the session records into it.
  std::string existing = (dir / "keep.wav").string();
  std::FILE* f = std::fopen(existing.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("old", f);
  std::fclose(f);
  std::string reason;
  EXPECT_TRUE(extio_host::can_write_file(existing, reason)) << reason;
  EXPECT_EQ(fs::file_size(existing), 3u);
  EXPECT_TRUE(extio_host::can_write_file((dir / "new.wav").string(), reason)) << reason;
  EXPECT_FALSE(fs::exists(dir / "new.wav"));
  fs::remove_all(dir);
}

}  // namespace
