// A bridge library for the command transmit tests, loaded by the plug-in's real loader. It records
// every write to the command pipe and lets the test choose what writes and result polls return.
#include "commands_test_bridge.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/bridge.h"

namespace {

struct Device {
  int unused = 0;
};
Device g_device;

std::mutex g_mutex;
std::vector<std::vector<uint8_t>> g_writes;     // as seen when written
std::vector<std::vector<uint8_t>> g_completed;  // pending writes as seen when they completed
uint32_t g_write_status = 0;
uint32_t g_poll_status = 0;
const uint8_t* g_pending_buffer = nullptr;
uint32_t g_pending_length = 0;
int g_polls = 0;

}  // namespace

#define EXPORT extern "C" __attribute__((visibility("default")))

using bridge::Handle;
using bridge::Overlapped;
using bridge::Status;

EXPORT Status KMVB_DeviceCount(uint32_t* count) {
  *count = 1;
  return 0;
}
EXPORT Status KMVB_Open(const void*, uint32_t, Handle* handle) {
  *handle = &g_device;
  return 0;
}
EXPORT Status KMVB_Close(Handle) {
  return 0;
}
EXPORT Status KMVB_DeviceSetting(Handle, uint32_t) {
  return 0;
}
EXPORT Status KMVB_PipeTimeout(Handle, uint8_t, uint32_t) {
  return 0;
}
EXPORT Status KMVB_ReadPipe(Handle, uint8_t, uint8_t*, uint32_t, uint32_t*, Overlapped*) {
  return 24;
}
EXPORT Status KMVB_RequeueRead(Handle, uint8_t, uint8_t*, uint32_t, uint32_t*, Overlapped*) {
  return 24;
}
EXPORT Status KMVB_WritePipe(Handle h, uint8_t pipe, uint8_t* buffer, uint32_t length,
                             uint32_t* transferred, Overlapped*) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (h != &g_device || pipe != bridge::kPipeOut) return 6;
  g_writes.emplace_back(buffer, buffer + length);
  if (g_write_status == 0 && transferred) *transferred = length;
  if (g_write_status == 24) {
    g_pending_buffer = buffer;
    g_pending_length = length;
  }
  return g_write_status;
}
EXPORT Status KMVB_Result(Handle, Overlapped*, uint32_t* transferred, int32_t) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_polls;
  if (g_poll_status != 24 && g_pending_buffer) {
    // The write reads its buffer until it completes.
    g_completed.emplace_back(g_pending_buffer, g_pending_buffer + g_pending_length);
    if (g_poll_status == 0 && transferred) *transferred = g_pending_length;
    g_pending_buffer = nullptr;
  }
  return g_poll_status;
}
EXPORT Status KMVB_PrepareOverlapped(Handle, Overlapped*) {
  return 0;
}
EXPORT Status KMVB_ReleaseOverlapped(Handle, Overlapped*) {
  return 0;
}
EXPORT Status KMVB_StreamOn(Handle, int32_t, int32_t, uint8_t, uint32_t) {
  return 0;
}
EXPORT Status KMVB_StreamOff(Handle, int32_t, int32_t, uint8_t) {
  return 0;
}
EXPORT Status KMVB_AbortPipe(Handle, uint8_t) {
  return 0;
}
EXPORT Status KMVB_DeviceAbort(Handle) {
  return 0;
}

EXPORT void cmdbridge_reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_writes.clear();
  g_completed.clear();
  g_write_status = 0;
  g_poll_status = 0;
  g_pending_buffer = nullptr;
  g_polls = 0;
}
EXPORT void cmdbridge_set_write_status(uint32_t status) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_write_status = status;
}
EXPORT void cmdbridge_set_poll_status(uint32_t status) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_poll_status = status;
}
EXPORT int cmdbridge_polls() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_polls;
}
EXPORT size_t cmdbridge_writes() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_writes.size();
}
EXPORT size_t cmdbridge_write(size_t index, uint8_t* out, size_t room) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (index >= g_writes.size()) return 0;
  size_t n = std::min(room, g_writes[index].size());
  std::memcpy(out, g_writes[index].data(), n);
  return g_writes[index].size();
}
EXPORT size_t cmdbridge_completed(size_t index, uint8_t* out, size_t room) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (index >= g_completed.size()) return 0;
  size_t n = std::min(room, g_completed[index].size());
  std::memcpy(out, g_completed[index].data(), n);
  return g_completed[index].size();
}
