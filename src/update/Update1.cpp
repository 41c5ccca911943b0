// TF_Update: the "KMV410 Firmware Update" window and the transfer it runs.
#include "update/Update1.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <new>
#include <system_error>

#include "control/commands.h"
#include "lan/lan_tasks.h"
#include "platform/files.h"
#include "platform/tasks.h"
#include "plugin/plugin_state.h"
#include "update/file_lists.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

TF_Update* F_Update = nullptr;

namespace update {
UpdateState g_update;
}  // namespace update

using namespace update;

namespace {

constexpr uint8_t kFirstSequence = 0x81;

ui::Control* make(ui::Control* parent, ui::Kind kind, const char* name, const char* caption,
                  int left, int top, int width, int height) {
  ui::Control* c = parent->add(kind, name);
  c->caption = caption;
  c->left = left;
  c->top = top;
  c->width = width;
  c->height = height;
  c->color = parent->color;
  return c;
}

// The queue of the link a command goes to: USB while a device is open, else the LAN.
usb::CommandQueue& link_queue() {
  return usb::g_link.handle.load() != nullptr ? usb::usb_queue() : usb::lan_queue();
}

bool link_open() {
  return usb::g_link.handle.load() != nullptr || lan::commands_routable();
}

int shown_number(const ui::Control* label) {
  int n = 0;
  const std::string& s = label->caption;
  std::from_chars(s.data(), s.data() + s.size(), n);
  return n;
}

// Status byte and sum of the command outcome state.
uint8_t status_of(int32_t outcome) {
  return static_cast<uint8_t>(outcome & 0xFF);
}
uint16_t sum_of(int32_t outcome) {
  return static_cast<uint16_t>((static_cast<uint32_t>(outcome) >> 8) & 0xFFFF);
}

}  // namespace

TF_Update::TF_Update(ui::Control* owner) : ui::Control(owner, ui::Kind::Form, "F_Update") {
  using ui::Kind;
  caption = "KMV410 Firmware Update";
  visible = false;
  stay_on_top = true;
  title_bar = false;
  width = 390;  // client area; no title bar, border 2
  height = 545;
  color = ui::kMoneyGreen;

  Label1 = make(this, Kind::Label, "Label1", "KMV410 Firmware Update", 25, 12, 339, 16);
  DriveComboBox1 = make(this, Kind::DriveList, "DriveComboBox1", "", 25, 40, 164, 19);
  DirectoryListBox1 = make(this, Kind::DirectoryList, "DirectoryListBox1", "", 25, 65, 164, 376);
  FLB_File = make(this, Kind::FileList, "FLB_File", "", 195, 40, 169, 401);
  FLB_File->mask = "*.Bit";
  PB_Sent = make(this, Kind::ProgressBar, "PB_Sent", "", 25, 457, 339, 17);
  PB_Sent->min = 0;
  PB_Sent->max = 100;
  L_Send = make(this, Kind::Label, "L_Send", "Bytes:", 25, 480, 175, 13);
  L_Bytes = make(this, Kind::Label, "L_Bytes", "0", 206, 480, 175, 13);
  Label1->bold = L_Send->bold = L_Bytes->bold = true;
  L_Send->right_aligned = true;
  B_Start = make(this, Kind::Button, "B_Start", "Start", 64, 499, 75, 25);
  B_Close = make(this, Kind::Button, "B_Close", "Close", 248, 499, 75, 25);
  Timer = adopt(std::make_unique<ui::Timer>(this, "Timer", kAckTimeoutMs, false));
  Timer2 = adopt(std::make_unique<ui::Timer>(this, "Timer2", kSecondMs, false));

  auto bind = [this](ui::Handler& slot, void (TF_Update::*fn)(ui::Control*)) {
    slot = [this, fn](ui::Control* sender) { (this->*fn)(sender); };
  };
  bind(on_show, &TF_Update::FormShow);
  bind(DriveComboBox1->on_change, &TF_Update::DriveComboBox1Change);
  bind(DirectoryListBox1->on_change, &TF_Update::DirectoryListBox1Change);
  bind(FLB_File->on_change, &TF_Update::FLB_FileChange);
  bind(B_Start->on_click, &TF_Update::B_StartClick);
  bind(B_Close->on_click, &TF_Update::B_CloseClick);
  bind(Timer->on_timer, &TF_Update::TimerTimer);
  bind(Timer2->on_timer, &TF_Update::Timer2Timer);
  FormCreate();
}

TF_Update::~TF_Update() {
  FormDestroy();
}

// The command outcome lock is process-wide (a task that outlives the window may still take it),
// so the window only sets up its lists.
void TF_Update::FormCreate() {
  g_update = UpdateState{};
  std::error_code ec;
  open_directory(std::filesystem::current_path(ec).string());
}

void TF_Update::FormDestroy() {
  g_update.running = false;
}

void TF_Update::FormShow(ui::Control*) {
  L_Bytes->caption = "0";
  PB_Sent->set_position(0);
  B_Start->enabled = true;
  FLB_File->items = matching_files(FLB_File->directory, FLB_File->mask);
}

void TF_Update::open_directory(const std::string& directory) {
  DriveComboBox1->items = drives();
  auto drive =
      std::find(DriveComboBox1->items.begin(), DriveComboBox1->items.end(), drive_of(directory));
  DriveComboBox1->set_item_index(
      static_cast<int>(std::distance(DriveComboBox1->items.begin(), drive)));
  DirectoryListBox1->directory = directory;
  DirectoryListBox1->items = subdirectories(directory);
  DirectoryListBox1->items.insert(DirectoryListBox1->items.begin(), "..");
  DirectoryListBox1->set_item_index(-1);
  FLB_File->directory = directory;
  FLB_File->items = matching_files(directory, FLB_File->mask);
  FLB_File->set_item_index(-1);
}

void TF_Update::DriveComboBox1Change(ui::Control*) {
  std::string root = DriveComboBox1->item_text();
  if (!root.empty()) open_directory(root);
}

void TF_Update::DirectoryListBox1Change(ui::Control*) {
  std::string name = DirectoryListBox1->item_text();
  if (name.empty()) return;
  std::filesystem::path p(DirectoryListBox1->directory);
  p = name == ".." ? p.parent_path() : p / name;
  open_directory(p.string());
}

void TF_Update::FLB_FileChange(ui::Control*) {
  std::string name = FLB_File->item_text();
  g_update.selected_file = name.empty() ? std::string() : join_path(FLB_File->directory, name);
}

void TF_Update::B_CloseClick(ui::Control*) {
  close_modal(kModalResultClose);
}

void TF_Update::TimerTimer(ui::Control*) {
  g_update.running = false;
  Timer->set_enabled(false);
}

void TF_Update::Timer2Timer(ui::Control*) {
  int n = shown_number(L_Bytes);
  L_Bytes->caption = std::to_string(n + 1);
  if (n >= kClearGiveUpCount) {
    g_update.running = false;
    Timer2->set_enabled(false);
  }
}

int TF_Update::show_modal() {
  if (const ui::Control* owner = parent()) {  // centred on the control panel
    // Never above or left of the screen: the panel sits in its top-left corner and is far
    // lower than this window, which has no title bar to drag it back by.
    left = std::max(0, owner->left + (owner->width - width) / 2);
    top = std::max(0, owner->top + (owner->height - height) / 2);
  }
  return ui::Control::show_modal(kModalLimitMs, [] { return plugin::waits_cancelled(); });
}

// Keeps the user interface (and the timers that end the waits) going while a wait polls the
// command outcome state, which the stream tasks write without posting anything.
void TF_Update::pump() {
  ui::process_messages();
  if (plugin::waits_cancelled()) g_update.running = false;  // the host is closing the plug-in
  if (g_update.running) tasks::sleep_ms(1);
}

void TF_Update::show_progress(uint32_t bytes_sent, uint32_t size) {
  g_update.progress =
      static_cast<int32_t>(int64_t{bytes_sent} * PB_Sent->max / std::max<uint32_t>(size, 1));
  PB_Sent->set_position(g_update.progress);
  L_Bytes->caption = std::to_string(bytes_sent);
}

// Waits for the link's queue to drain first, so that the clear is the command in flight when its
// answer comes; the wait pumps, and the seconds counter that runs meanwhile bounds it.
bool TF_Update::queue_clear(uint32_t size) {
  if (!link_open()) return false;
  usb::CommandQueue& queue = link_queue();
  while (g_update.running && usb::queue_length(queue) != 0) pump();
  usb::set_command_outcome(kWaiting);
  if (g_update.running) return commands::send(commands::firmware_control(size));
  return true;
}

void TF_Update::B_StartClick(ui::Control*) {
  // 1-2. The file must be there, and fit the 24 bits of size the clear carries.
  g_update.final_message = "0";
  const std::string path = g_update.selected_file;
  std::error_code ec;
  if (path.empty() || !std::filesystem::is_regular_file(path, ec)) {
    L_Send->caption = "No file found!";
    return;
  }
  if (std::filesystem::file_size(path, ec) > kMaxFileBytes && !ec) {
    L_Send->caption = "File too large!";
    return;
  }

  // 3. Load it whole.
  B_Start->enabled = false;
  B_Close->enabled = false;
  g_update.running = true;
  std::string content;
  try {
    if (!files::read(path, size_t{kMaxFileBytes} + 1, &content)) {
      g_update.final_message = "No file found!";
    } else if (content.size() > kMaxFileBytes) {  // it grew since it was looked at
      L_Send->caption = "File too large!";
    } else if (!content.empty()) {
      run(content);
    }
  } catch (...) {
    g_update.final_message = "No file found!";
  }

  // 12. End of the run.
  g_update.running = false;
  Timer->set_enabled(false);
  Timer2->set_enabled(false);
  L_Bytes->caption = g_update.final_message;
  B_Close->enabled = true;
  B_Start->enabled = true;
}

void TF_Update::run(const std::string& content) {
  int32_t result = kWaiting;
  try {
    if (!transfer(content, result)) return;
  } catch (...) {
    g_update.final_message = "Aborted!";
    return;
  }
  // 10. Success, or the memory is cleared whole.
  if (result == 0) {
    g_update.final_message = "Transfer OK!";
    return;
  }
  try {
    recover();
  } catch (...) {
    g_update.final_message = "Can not clear memory!";
  }
}

// Steps 4-9: the sized clear and the blocks. Returns false when the run ends without a recovery
// (nothing was sent); `result` is 0 when the receiver confirmed the whole file.
bool TF_Update::transfer(const std::string& content, int32_t& result) {
  const uint32_t size = static_cast<uint32_t>(content.size());
  const auto* bytes = reinterpret_cast<const uint8_t*>(content.data());
  // 4. The file goes from its end to its start: first the last (possibly short) block.
  int64_t position = int64_t{kBlockBytes} * ((size - 1) / kBlockBytes);

  // 5-6. Sized clear, with the seconds counter running.
  g_update.final_message = "Connection Timeout!";
  L_Send->caption = "Clearing Memory:";
  L_Bytes->caption = "0";
  Timer2->set_enabled(false);
  Timer2->set_enabled(true);
  g_update.progress = 0;
  if (!queue_clear(size)) {
    // Nothing reached the receiver, so its memory is as it was: nothing to recover.
    L_Send->caption = "No link open!";
    g_update.final_message = "Nothing sent!";
    return false;
  }

  // 7. Clear phase.
  bool cleared = false;
  while (g_update.running) {
    int32_t outcome = usb::g_command_outcome.load();
    if (outcome != kWaiting && outcome != 0) {
      result = outcome == kSizedClearDone ? 0 : outcome;
      cleared = true;
      break;
    }
    pump();
  }
  if (!cleared) {
    result = kWaiting;
    return true;
  }
  Timer2->set_enabled(false);
  L_Send->caption = "Bytes sent:";
  L_Bytes->caption = "0";
  g_update.final_message = "Timeout!";
  uint8_t expected = kFirstSequence;
  uint32_t bytes_sent = 0;
  uint16_t sum = 0;
  uint32_t k = 1;

  for (;;) {
    // 9. The next block, once the previous one was acknowledged.
    Timer->set_enabled(false);
    if (!g_update.running) break;
    show_progress(bytes_sent, size);
    if (bytes_sent < size) {
      uint8_t data[kBlockBytes];
      const uint32_t n = std::min<uint32_t>(kBlockBytes, size - static_cast<uint32_t>(position));
      std::copy_n(bytes + position, n, data);
      std::fill(data + n, data + kBlockBytes, uint8_t{0xFF});
      // Back to the previous block; after the file's first block there is none.
      position = std::max<int64_t>(position - kBlockBytes, 0);
      for (uint8_t b : data) sum = static_cast<uint16_t>(sum + b);
      const uint8_t sequence = static_cast<uint8_t>(0x80 | (k & 0x7F));
      if (!commands::send(commands::firmware_data(sequence, data))) {
        result = kGivenUp;  // the link went away: the recovery finds out whether it is back
        break;
      }
      ++k;
      bytes_sent += kBlockBytes;
    }

    // 8. Acknowledgement phase: the block's own answer, or the final status.
    Timer->set_interval(kAckTimeoutMs);
    Timer->set_enabled(true);
    bool acknowledged = false;
    bool decided = false;
    while (g_update.running) {
      const int32_t outcome = usb::g_command_outcome.load();
      const uint8_t status = status_of(outcome);
      if (status == expected) {
        if (sum_of(outcome) == sum) {
          expected = static_cast<uint8_t>((expected + 1) | 0x80);
          result = 0;
          acknowledged = true;
        } else {
          result = kReceiverError;
          g_update.running = false;
        }
        decided = true;
        break;
      }
      if (status == kReceiverError) {
        result = kReceiverError;
        g_update.running = false;
        decided = true;
        break;
      }
      if (status == kTransferDone) {
        result = sum_of(outcome) == sum && bytes_sent >= size ? 0 : kReceiverError;
        g_update.running = false;
        decided = true;
        break;
      }
      pump();
    }
    if (!decided) result = kGivenUp;  // no answer within the time-out
    if (!acknowledged) {
      Timer->set_enabled(false);
      break;
    }
  }
  return true;
}

// 11. A failed run leaves the memory half written: clear it whole.
void TF_Update::recover() {
  g_update.phase_message = "Failed! Clear Mem:";
  L_Send->caption = g_update.phase_message;
  g_update.running = true;
  L_Bytes->caption = "0";
  Timer2->set_enabled(false);
  Timer2->set_enabled(true);
  if (!queue_clear(kFullClearSize)) {
    g_update.running = false;
    g_update.final_message = "Also Failed!";
  }
  while (g_update.running) {
    if (usb::g_command_outcome.load() == kFullClearDone) {
      Timer2->set_enabled(false);
      g_update.phase_message = "No file loaded!";
      g_update.final_message = "Memory ready, try again!";
      break;
    }
    pump();
  }
  Timer2->set_enabled(false);
  L_Send->caption = g_update.phase_message;
  L_Bytes->caption = g_update.final_message;
  PB_Sent->set_position(g_update.progress);
  ui::process_messages();
}
