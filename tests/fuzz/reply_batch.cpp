// Reply batches as the receiver sends them (a 32-bit count, then 8-byte records), through the
// record parser of both links and through the USB drain, with a command in flight on each queue
// so that acknowledgements and the status storage both run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace {

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Two commands on each queue, the first sent once: its sequence is 1 on both links.
void put_in_flight() {
  usb::destroy_queues();
  usb::create_queues();
  usb::g_usb_tx.queue_sequence = 0;
  usb::g_command_sequence = 0;
  for (usb::CommandQueue* q : {&usb::usb_queue(), &usb::lan_queue()}) {
    usb::append(*q, {0xF2, 125, 0});
    usb::append(*q, {0xF5, 1, 2, 3, 0});
  }
  uint8_t out[usb::kMaxCommandBytes];
  size_t n = 0;
  uint32_t seq = 0;
  usb::take_front(usb::usb_queue(), usb::g_usb_tx.queue_sequence, out, &n, &seq);
  usb::take_front(usb::lan_queue(), usb::g_command_sequence, out, &n, &seq);
}

// Whether a batch the parser applies echoes sequence 1 in an acknowledging record.
bool may_acknowledge(const uint8_t* data, size_t size, uint32_t count) {
  for (uint32_t i = 0; i < count && 4 + 8 * (i + 1) <= size; ++i) {
    uint32_t code = le32(data + 4 + 8 * i) & 0xFF;
    if (code != 0xF1 && le32(data + 8 + 8 * i) == 1) return true;
  }
  return false;
}

void check_queue(usb::CommandQueue& q, bool may_ack) {
  size_t left = usb::queue_length(q);
  // One acknowledgement removes the command in flight, nothing else does.
  if (left != 2 && !(may_ack && left == 1)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t count = size >= 4 ? le32(data) : 0;
  bool applied = count >= 1 && count <= usb::kMaxBatchApplied && (size - 4) / 8 >= count;
  bool may_ack = applied && may_acknowledge(data, size, count);

  put_in_flight();
  usb::parse_reply_bytes(data, size, usb::Link::kUsb);
  check_queue(usb::usb_queue(), may_ack);
  if (usb::queue_length(usb::lan_queue()) != 2) std::abort();  // the other link's is untouched
  usb::parse_reply_bytes(data, size, usb::Link::kLan);
  check_queue(usb::lan_queue(), may_ack);

  // The USB stream task's way: records as collected from the blocks, up to 256 of them.
  put_in_flight();
  static usb::ReplyBatch batch;
  batch.count = count;
  uint32_t records = 0;
  for (size_t at = 4; at + 8 <= size && records < usb::kMaxReplyRecords; at += 8, ++records) {
    batch.records[records] = {le32(data + at), le32(data + at + 4)};
  }
  for (uint32_t i = records; i < usb::kMaxReplyRecords; ++i) batch.records[i] = {0xFF, 0};
  usb::usb_drain(batch);
  for (uint32_t i = 0; i < usb::g_status.settings_echo.size(); ++i)
    (void)usb::g_status.settings_echo[i].load();
  return 0;
}
