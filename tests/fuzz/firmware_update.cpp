// A firmware file through the update window's run, with the receiver's answers from the input:
// the sized clear, the blocks from the file's end to its start with their acknowledgements, the
// final status, and the full clear after a failed run.
//
// Input: a little-endian 16-bit file size L (at most 8 KiB are used), L bytes of file, then the
// receiver's answers as 8-byte reply records (word, then value). Each command the drain sends
// takes the next answer; its value is given relative to the command's sequence (0 echoes it, so
// it acknowledges). With the answers spent, the next wait runs into its time-out at once.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/ui.h"
#include "update/Update1.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace {

constexpr size_t kMaxFile = 8192;

struct Receiver {
  const uint8_t* answers = nullptr;
  size_t count = 0;
  size_t next = 0;
  int idle = 0;
};
Receiver g_rx;

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// One drain turn, as the USB stream task runs it once per transfer.
void answer() {
  uint8_t out[usb::kMaxCommandBytes];
  size_t n = 0;
  uint32_t sequence = 0;
  usb::FrontAction a =
      usb::take_front(usb::usb_queue(), usb::g_usb_tx.queue_sequence, out, &n, &sequence);
  if (a == usb::FrontAction::kSend && g_rx.next < g_rx.count) {
    const uint8_t* r = g_rx.answers + 8 * g_rx.next++;
    usb::ReplyRecord record{le32(r), le32(r + 4) ^ sequence};
    usb::parse_replies(&record, 1, usb::Link::kUsb);
    g_rx.idle = 0;
    return;
  }
  // Nothing more will come: what the window's timers would end after seconds ends now.
  if (g_rx.next >= g_rx.count || ++g_rx.idle > 3) {
    if (F_Update) F_Update->TimerTimer(nullptr);
  }
}

std::string file_path() {
  static std::string path = [] {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kmv-fuzz-update-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    static const std::filesystem::path made = dir;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(made, ec);
    });
    return (dir / "KMV410.Bit").string();
  }();
  return path;
}

ui::Timer* g_drain = nullptr;

void set_up() {
  static bool done = [] {
    ui::suppress_message_boxes(true);
    // A device handle the window routes its commands by; nothing calls the bridge with it.
    static int device;
    usb::g_link.handle = reinterpret_cast<bridge::Handle>(&device);
    ui::run_on_ui([] {
      F_Update = new TF_Update(nullptr);
      g_drain = F_Update->adopt(std::make_unique<ui::Timer>(F_Update, "FuzzDrain", 1, false));
      g_drain->on_timer = [](ui::Control*) { answer(); };
    });
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  set_up();
  size_t length = std::min<size_t>({size_t(data[0] | data[1] << 8), size - 2, kMaxFile});
  {
    std::ofstream out(file_path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 2), static_cast<std::streamsize>(length));
  }
  g_rx = Receiver{data + 2 + length, (size - 2 - length) / 8, 0, 0};

  usb::destroy_queues();
  usb::create_queues();
  usb::g_usb_tx.queue_sequence = 0;
  usb::set_command_outcome(0);
  bool ok = ui::run_on_ui(
      [] {
        update::g_update.selected_file = file_path();
        g_drain->set_enabled(true);
        F_Update->B_StartClick(nullptr);
        g_drain->set_enabled(false);
        // A run always ends with the buttons back and its waits over.
        if (!F_Update->B_Start->enabled || !F_Update->B_Close->enabled || update::g_update.running)
          std::abort();
      },
      600000);
  if (!ok) std::abort();
  return 0;
}
