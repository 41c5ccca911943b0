// The USB side's share of the firmware memory: control, state, and the delayed answers.
#include <algorithm>
#include <chrono>

#include "usb_device.h"

namespace kmvsim {

namespace {
int64_t steady_ns() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

void UsbDevice::queue_firmware_replies(int64_t now, int64_t& deadline) {
  ReplyRecord r;
  while (receiver_.take_firmware_reply(now, r)) queue_record(r, false);
  const int64_t due = receiver_.firmware_reply_due_ns();
  if (due >= 0) deadline = std::min(deadline, due);
}

void UsbDevice::firmware_clear_delay(uint32_t ms) {
  Lock lock(mutex_);
  receiver_.set_firmware_clear_delay(ms);
}

void UsbDevice::firmware_fault(uint32_t kind, uint32_t answer) {
  Lock lock(mutex_);
  using Fault = Receiver::FirmwareFault;
  const Fault fault = kind <= uint32_t(Fault::kHang) ? Fault(kind) : Fault::kNone;
  receiver_.set_firmware_fault(fault, answer);
}

void UsbDevice::firmware_state(KMVSIM_FirmwareState& out) {
  Lock lock(mutex_);
  out.declared = receiver_.firmware_size;
  out.blocks = receiver_.firmware_blocks_taken();
  out.sum = receiver_.firmware_sum();
  out.sized_clears = receiver_.firmware_sized_clears;
  out.full_clears = receiver_.firmware_full_clears;
  out.withheld = receiver_.firmware_withheld;
}

bool UsbDevice::take_firmware_reply(ReplyRecord& out) {
  Lock lock(mutex_);
  return receiver_.take_firmware_reply(steady_ns(), out);
}

}  // namespace kmvsim
