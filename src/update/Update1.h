// TF_Update: the "KMV410 Firmware Update" window. It writes a firmware file into the receiver's
// memory over the open command link: a sized clear, then the file in 256-byte blocks from its
// end to its start, each one acknowledged with its sequence byte and the running sum before the
// next goes, then the final status; a failed run ends with a clear of the whole memory.
//
// Everything here runs on the user-interface thread. The receiver's answers arrive in the
// command outcome state (usb/command_queue.h), written by the reply-record parser.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ui.h"

namespace update {

constexpr int kModalResultClose = 8;
constexpr uint32_t kMaxFileBytes = 0x800000;  // the sized clear carries 24 bits of size
constexpr uint32_t kFullClearSize = 0x800000;
constexpr uint32_t kBlockBytes = 256;
constexpr int kAckTimeoutMs = 3000;    // per block, and for the final status
constexpr int kSecondMs = 1000;        // the seconds counter of the clear phases
constexpr int kClearGiveUpCount = 61;  // the counter gives up when it finds this: 62nd second
// A modal window left open this long closes itself (headless, nobody else can close it).
constexpr int kModalLimitMs = 30 * 60 * 1000;

// Status bytes of the command outcome state.
constexpr int32_t kWaiting = -1;  // set before a clear is queued
constexpr int32_t kSizedClearDone = 0x5A;
constexpr int32_t kFullClearDone = 4;
constexpr int32_t kTransferDone = 0;
constexpr int32_t kGivenUp = 2;  // also the result of an acknowledgement time-out
constexpr int32_t kReceiverError = 6;

// Process-wide state of the update, user-interface thread only.
struct UpdateState {
  std::string selected_file;  // full path chosen in FLB_File; empty until one is chosen
  bool running = false;       // a run's waits go on while set; the timers clear it
  std::string final_message;  // L_Bytes at the end of a run
  std::string phase_message;  // L_Send at the end of a failed run
  int32_t progress = 0;       // last PB_Sent position
};
extern UpdateState g_update;

}  // namespace update

class TF_Update : public ui::Control {
 public:
  explicit TF_Update(ui::Control* owner);
  ~TF_Update() override;

  ui::Control *Label1, *DriveComboBox1, *DirectoryListBox1, *FLB_File, *PB_Sent, *L_Send, *L_Bytes,
      *B_Start, *B_Close;
  ui::Timer* Timer;   // block acknowledgement time-out
  ui::Timer* Timer2;  // seconds counter of the clear phases

  void FormCreate();
  void FormDestroy();
  void FormShow(ui::Control* Sender);
  void DriveComboBox1Change(ui::Control* Sender);
  void DirectoryListBox1Change(ui::Control* Sender);
  void FLB_FileChange(ui::Control* Sender);
  void B_StartClick(ui::Control* Sender);
  void B_CloseClick(ui::Control* Sender);
  void TimerTimer(ui::Control* Sender);
  void Timer2Timer(ui::Control* Sender);

  // Show the window modally (B_UpdateClick); returns when it is closed.
  int show_modal();
  // Point the drive, folder and file lists at a folder.
  void open_directory(const std::string& directory);

 private:
  void run(const std::string& content);
  bool transfer(const std::string& content, int32_t& result);
  void recover();
  // Queue a firmware control command as the clears do; false when no link is open.
  bool queue_clear(uint32_t size);
  void pump();
  void show_progress(uint32_t bytes_sent, uint32_t size);
};

extern TF_Update* F_Update;
