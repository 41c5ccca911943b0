#include "firmware.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "control/Form1.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/ExtIO_KMV410B211.h"
#include "update/Update1.h"

namespace extio_host {

namespace {

namespace fs = std::filesystem;

constexpr int kProgressMs = 250;

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

void write_loopback_settings() {
  ui::run_on_ui([] {
    auto panel = std::make_unique<TF_RDR1>();
    panel->E_IP->set_text("127.0.0.1");
    panel.reset();  // destroying the panel writes its settings file
  });
}

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
  sim.Reset();
  sim.SetPresent(1);
  sim.SetRealTime(0);  // blocks as fast as the plug-in reads them: answers come sooner

  char name[64] = {}, model[64] = {};
  int32_t type = 0;
  InitHW(name, model, &type);
  if (!OpenHW()) {
    std::fprintf(stderr, "extio-host: OpenHW failed\n");
    return 5;
  }
  bool usb = false;
  ui::run_on_ui([&] { usb = F_RDR1 && F_RDR1->CB_USB->checked() && F_Update; });
  if (!usb) {
    std::fprintf(stderr, "extio-host: the simulated receiver did not open over USB\n");
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

}  // namespace extio_host
