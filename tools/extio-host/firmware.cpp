#include "firmware.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "control/Form1.h"
#include "linked_plugin.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/ExtIO_KMV410B211.h"
#include "update/Update1.h"

namespace extio_host {

namespace {

namespace fs = std::filesystem;

constexpr int kProgressMs = 250;
constexpr int kLinkWaitMs = 10000;

// What the simulated receiver holds now, against the file.
void report_image(const fs::path& file) {
  decltype(&::KMVSIM_FirmwareImage) image = nullptr;
  if (!find_simulator("KMVSIM_FirmwareImage", image)) return;
  std::ifstream in(file, std::ios::binary);
  std::string want((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string got(image(nullptr, 0), '\0');
  image(reinterpret_cast<uint8_t*>(got.data()), static_cast<uint32_t>(got.size()));
  std::printf("image: %zu bytes, %s the file\n", got.size(),
              got == want ? "equal to" : "different from");
}

// The plug-in keeps its settings file in the working directory: the update runs in a folder of
// its own, with a settings file whose receiver address is loopback, so that the plug-in never
// looks for a receiver on the network should the simulated one not answer.
class PrivateFolder {
 public:
  PrivateFolder() {
    std::error_code ec;
    original_ = fs::current_path(ec);
    auto base = fs::temp_directory_path(ec);
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int i = 0; i < 100 && !ec; ++i) {
      fs::path p =
          base / ("extio-host-fw-" + std::to_string(stamp % 1000000007) + "-" + std::to_string(i));
      if (fs::create_directory(p, ec)) {
        path_ = p;
        fs::current_path(p, ec);
        return;
      }
    }
  }
  ~PrivateFolder() {
    std::error_code ec;
    fs::current_path(original_, ec);
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  bool ok() const { return !path_.empty(); }

 private:
  fs::path original_, path_;
};

// Chooses the file in the window the way a user does: its folder, then its name in the list.
bool choose(const fs::path& file) {
  bool found = false;
  ui::run_on_ui([&] {
    F_Update->open_directory(file.parent_path().string());
    auto& items = F_Update->FLB_File->items;
    for (size_t i = 0; i < items.size(); ++i) {
      if (items[i] == file.filename().string()) {
        F_Update->FLB_File->user_select(static_cast<int>(i));
        found = true;
      }
    }
  });
  return found;
}

// OpenHW, the run in the window, CloseHW.
int update(const fs::path& file, bool lan) {
  char name[64] = {}, model[64] = {};
  int32_t type = 0;
  InitHW(name, model, &type);
  if (!OpenHW()) {
    std::fprintf(stderr, "extio-host: OpenHW failed\n");
    return 5;
  }
  // The LAN link comes up once the receive task has connected.
  bool up = wait_for_link(lan, kLinkWaitMs);
  ui::run_on_ui([&] { up = up && F_Update; });
  if (!up) {
    std::fprintf(stderr, "extio-host: the simulated receiver did not open over %s\n",
                 lan ? "the LAN" : "USB");
    CloseHW();
    return 5;
  }
  if (!choose(file)) {
    std::fprintf(stderr, "extio-host: %s is not listed (the list shows *.Bit files)\n",
                 file.string().c_str());
    CloseHW();
    return 2;
  }

  std::string send, bytes;
  ui::run_on_ui([&] {
    F_Update->show();
    // Progress while the run pumps the loop inside the Start button's handler.
    ui::Timer progress(nullptr, "progress", kProgressMs, true);
    progress.on_timer = [](ui::Control*) {
      std::fprintf(stderr, "\r%-20s %-26s %3d%%", F_Update->L_Send->caption.c_str(),
                   F_Update->L_Bytes->caption.c_str(), F_Update->PB_Sent->position());
    };
    F_Update->B_Start->click();
    progress.set_enabled(false);
    std::fprintf(stderr, "\n");
    send = F_Update->L_Send->caption;
    bytes = F_Update->L_Bytes->caption;
    F_Update->B_Close->click();
  });
  CloseHW();
  std::printf("L_Send: %s\nL_Bytes: %s\n", send.c_str(), bytes.c_str());
  std::fflush(stdout);
  return bytes == "Transfer OK!" ? 0 : 1;
}

}  // namespace

int run_firmware_update(const Options& options, const Simulator& sim) {
  std::error_code ec;
  fs::path file = fs::absolute(options.firmware, ec);
  if (ec || !fs::is_regular_file(file, ec)) {
    std::fprintf(stderr, "extio-host: no firmware file %s\n", options.firmware.c_str());
    return 2;
  }
  PrivateFolder folder;
  if (!folder.ok()) {
    std::fprintf(stderr, "extio-host: cannot make a working folder\n");
    return 5;
  }
  write_loopback_settings();
  const bool lan = options.sim == "lan";
  LanSide lan_side;
  if (lan && !lan_side.load()) {
    std::fprintf(stderr, "extio-host: the simulator has no LAN side\n");
    return 3;
  }
  sim.Reset();
  sim.SetPresent(lan ? 0 : 1);  // without a USB receiver the plug-in looks on the LAN
  sim.SetRealTime(0);           // USB blocks as fast as the plug-in reads them: answers come sooner
  // LAN frames at the stream's own pace, as a receiver sends them.
  if (lan && !lan_side.listen_on_loopback(true)) {
    std::fprintf(stderr, "extio-host: the simulator cannot listen on 127.0.0.1:%u\n",
                 unsigned(kLanTcpPort));
    return 3;
  }
  int status = update(file, lan);
  report_image(file);
  std::fflush(stdout);
  if (lan) lan_side.Stop();
  return status;
}

}  // namespace extio_host
