// LAN frames: the trailer, the conversion of frame samples into host blocks, and the frame
// service that counts frames, takes the receiver's reply batches and sends the next queued LAN
// command, once per good frame, on the thread of the LAN stream task.
#pragma once

#include <cstddef>
#include <cstdint>

#include "control/stream_config.h"
#include "lan/socket_cell.h"
#include "platform/net.h"

namespace lan {

// Trailer layout, from frame offset S.
constexpr size_t kTrailerFrameNumber = 0;
constexpr size_t kTrailerMarker = 8;
constexpr size_t kTrailerTag = 16;
constexpr size_t kTrailerBatch = 20;
constexpr uint32_t kFrameMarker1 = 0x12345678;
constexpr uint32_t kFrameMarker2 = 0x9ABCDEF0;

constexpr uint32_t kHostBlockBytes = 783360;  // 130560 complex samples of 6 bytes
// Output blocks carry this much slack: the 16-bit widening stores 8 bytes per 6.
constexpr uint32_t kBlockSlack = 8;
constexpr uint32_t kMaxFrameBytes = control::kLanPackets16Dual * control::kLanPacketBytes;

inline uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Both marker words at trailer offset 8.
inline bool has_frame_marker(const uint8_t* trailer) {
  return le32(trailer + kTrailerMarker) == kFrameMarker1 &&
         le32(trailer + kTrailerMarker + 4) == kFrameMarker2;
}

// A received TCP frame is taken when it is whole and carries the markers after its samples.
inline bool whole_frame(const control::LanGeometry& g, const uint8_t* frame, uint32_t bytes) {
  return bytes == g.frame_bytes() && has_frame_marker(frame + g.sample_bytes);
}

// A whole frame's samples (S bytes) into host blocks a (LAN1) and b (LAN2, dual only): 16-bit
// values widened. Not for 24-bit frames, whose samples are host blocks already.
void convert_frame(const control::LanGeometry& g, const uint8_t* samples, uint8_t* a, uint8_t* b);
// Payload bytes of frame packet i (1456, fewer for the last packet's samples).
uint32_t packet_sample_bytes(const control::LanGeometry& g, uint32_t i);
// The sample bytes of packet i < N into its place in the host blocks.
void store_packet(const control::LanGeometry& g, uint32_t i, const uint8_t* payload, uint8_t* a,
                  uint8_t* b);

// The send side of one LAN stream task: its one background send and the counters around it.
// Each task has its own, so that a task given up by its stopper never touches the next one's.
class FrameService {
 public:
  FrameService();
  // Ends a send still going on (bounded); a send that will not end keeps its slot alive.
  ~FrameService();
  FrameService(const FrameService&) = delete;
  FrameService& operator=(const FrameService&) = delete;

  bool ready() const { return slot_ != nullptr; }
  // A fresh slot: the next command may go at once, no send status, no wait.
  void reset();
  // One good frame. `trailer` is the frame at offset S; `size` bytes may be read from there.
  void service(const uint8_t* trailer, size_t size);

  // For tests: the send status (0, net::kPending, or an error) and the wait counter.
  int status() const { return status_; }
  uint32_t wait_counter() const { return wait_; }

 private:
  void finish_send();
  void send_next();

  net::SendSlot* slot_ = nullptr;
  int status_ = 0;                    // 0 none; kPending / kIncomplete going on; else the error
  uint32_t wait_ = 0;                 // frames since the last send without a confirmation
  SocketCell::Token send_token_ = 0;  // connection of the send in progress
  uint8_t buffer_[net::kSendSlotBytes] = {};
};

}  // namespace lan
