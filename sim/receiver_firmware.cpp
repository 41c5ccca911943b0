// The receiver's firmware memory: the sized clear, the data blocks that arrive from the file's
// end to its start, the running sum, the final status, the full clear, and the faults a test
// asks for.
#include <chrono>

#include "receiver.h"

namespace kmvsim {
namespace {

constexpr uint32_t kFirmwareBlock = 256;
constexpr uint32_t kSizedClearDone = 0x5A;
constexpr uint32_t kFullClearDone = 4;
constexpr uint32_t kComplete = 0;
constexpr uint32_t kError = 6;
constexpr uint32_t kCodeAccepted = 0x00;  // acknowledges a command and says nothing else

int64_t steady_ns() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

uint32_t answer_word(uint32_t code, uint32_t status, uint32_t sum) {
  return code | (status & 0xFF) << 8 | (sum & 0xFFFF) << 16;
}

}  // namespace

void Receiver::firmware_reset() {
  firmware_size = 0;
  firmware_image.clear();
  firmware_blocks_ = firmware_received_ = 0;
  firmware_sum_ = 0;
  last_block_byte_ = -1;
  firmware_delay_ms_ = 0;
  firmware_fault_ = FirmwareFault::kNone;
  firmware_fault_at_ = 0;
  firmware_fault_struck_ = false;
  firmware_quiet_ = false;
  firmware_delayed_.clear();
  firmware_sized_clears = firmware_full_clears = firmware_withheld = 0;
}

void Receiver::set_firmware_fault(FirmwareFault fault, uint32_t answer) {
  firmware_fault_ = fault;
  firmware_fault_at_ = answer;
  firmware_fault_struck_ = false;
  firmware_quiet_ = false;
}

bool Receiver::take_firmware_reply(int64_t now_ns, ReplyRecord& out) {
  if (firmware_delayed_.empty() || firmware_delayed_.front().due_ns > now_ns) return false;
  out = firmware_delayed_.front().record;
  firmware_delayed_.pop_front();
  return true;
}

int64_t Receiver::firmware_reply_due_ns() const {
  return firmware_delayed_.empty() ? -1 : firmware_delayed_.front().due_ns;
}

bool Receiver::firmware_faulted(uint32_t number, uint32_t& word) {
  if (firmware_quiet_) return false;
  if (firmware_fault_ == FirmwareFault::kNone || number != firmware_fault_at_) return true;
  firmware_fault_struck_ = true;
  const uint32_t code = word & 0xFF;
  const uint32_t status = (word >> 8) & 0xFF;
  const uint32_t sum = word >> 16;
  switch (firmware_fault_) {
    case FirmwareFault::kError:
      word = answer_word(code, kError, sum);
      return true;
    case FirmwareFault::kWrongSum:
      word = answer_word(code, status, sum + 1);
      return true;
    case FirmwareFault::kPrematureEnd:
      if (code == kCodeFirmwareData) word = answer_word(code, kComplete, sum);
      return true;
    case FirmwareFault::kSilent:
    case FirmwareFault::kHang:
      firmware_quiet_ = true;
      return false;
    case FirmwareFault::kNone:
      break;
  }
  return true;
}

// A clear wipes what was written; its answer comes once the memory is erased.
void Receiver::firmware_control(Outcome& o, uint32_t seq, const uint8_t* cmd) {
  const uint32_t size = cmd[1] | uint32_t(cmd[2]) << 8 | uint32_t(cmd[3]) << 16;
  firmware_received_ = 0;
  firmware_sum_ = 0;
  last_block_byte_ = -1;
  firmware_delayed_.clear();
  // A fault that struck in the last transfer is spent; a hang outlives clears.
  if (firmware_fault_struck_ && firmware_fault_ != FirmwareFault::kHang) {
    firmware_fault_ = FirmwareFault::kNone;
    firmware_fault_struck_ = false;
  }
  if (firmware_fault_ != FirmwareFault::kHang) firmware_quiet_ = false;

  uint32_t word;
  if (size == kFullClearSize || size == 0) {
    ++firmware_full_clears;
    firmware_size = 0;
    firmware_blocks_ = 0;
    firmware_image.clear();
    word = answer_word(kCodeFirmwareControl, kFullClearDone, 0);
  } else {
    ++firmware_sized_clears;
    firmware_size = size;
    firmware_blocks_ = (size + kFirmwareBlock - 1) / kFirmwareBlock;
    firmware_image.assign(size_t(firmware_blocks_) * kFirmwareBlock, 0xFF);
    word = answer_word(kCodeFirmwareControl, kSizedClearDone, 0);
  }
  if (!firmware_faulted(0, word)) {  // taken, but the erase never reports back
    reply(o, kCodeAccepted, seq);
    ++firmware_withheld;
    return;
  }
  if (((word >> 8) & 0xFF) == kError) {  // the erase failed: nothing can be written
    firmware_size = 0;
    firmware_blocks_ = 0;
    firmware_image.clear();
  }
  if (firmware_delay_ms_ == 0) {
    reply(o, word, seq);
    return;
  }
  reply(o, kCodeAccepted, seq);
  if (!withheld[word & 0xFF]) {
    firmware_delayed_.push_back({steady_ns() + int64_t(firmware_delay_ms_) * 1000000, {word, seq}});
  }
}

// Blocks arrive from the end of the file to its start; a repeated transmission of the block
// just taken is answered again but not added twice.
void Receiver::firmware_data(Outcome& o, uint32_t seq, const uint8_t* cmd) {
  const uint8_t block = cmd[1];
  if (firmware_blocks_ == 0) {  // no memory was prepared for it
    uint32_t word = answer_word(kCodeFirmwareData, kError, 0);
    if (!firmware_faulted(1, word)) {
      word = kCodeAccepted;
      ++firmware_withheld;
    }
    reply(o, word, seq);
    return;
  }
  if (block != last_block_byte_ && firmware_received_ < firmware_blocks_) {
    ++firmware_received_;
    last_block_byte_ = block;
    const size_t offset = size_t(firmware_blocks_ - firmware_received_) * kFirmwareBlock;
    for (uint32_t i = 0; i < kFirmwareBlock; ++i) {
      firmware_image[offset + i] = cmd[2 + i];
      firmware_sum_ = uint16_t(firmware_sum_ + cmd[2 + i]);
    }
  }
  uint32_t word = answer_word(kCodeFirmwareData, block, firmware_sum_);
  if (!firmware_faulted(firmware_received_, word)) {  // taken, but no status
    reply(o, kCodeAccepted, seq);
    ++firmware_withheld;
    return;
  }
  reply(o, word, seq);
  if (firmware_received_ == firmware_blocks_) {
    word = answer_word(kCodeFirmwareData, kComplete, firmware_sum_);
    if (!firmware_faulted(firmware_blocks_ + 1, word)) {
      ++firmware_withheld;
      return;
    }
    reply(o, word, seq);
  }
}

}  // namespace kmvsim
