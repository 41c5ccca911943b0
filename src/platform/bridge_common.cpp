// The bridge operations: load on first use, then call through the published table.
#include <atomic>
#include <mutex>

#include "platform/bridge_internal.h"

namespace bridge {
namespace {

using detail::Table;

std::mutex g_load_mutex;
Table g_table;                          // filled under g_load_mutex, before it is published
std::atomic<const Table*> g_published;  // &g_table once every operation was found

// A failed load is tried again at the next call, so a library installed later (or loaded by the
// host first) is still found.
const Table* table() {
  const Table* t = g_published.load(std::memory_order_acquire);
  if (t) return t;
  std::lock_guard<std::mutex> lock(g_load_mutex);
  t = g_published.load(std::memory_order_acquire);
  if (t) return t;
  Table fresh;
  if (!detail::load_library(fresh)) return nullptr;
  g_table = fresh;
  g_published.store(&g_table, std::memory_order_release);
  return &g_table;
}

}  // namespace

Status device_count(uint32_t* count) {
  const Table* t = table();
  return t ? t->device_count(count) : kNotLoaded;
}

Status open_by_description(Handle* handle) {
  const Table* t = table();
  return t ? t->open(kDeviceDescription, kOpenByDescription, handle) : kNotLoaded;
}

Status close(Handle h) {
  const Table* t = table();
  return t ? t->close(h) : kNotLoaded;
}

void close_detached(Handle h) {
  const Table* t = table();
  if (t && h) detail::close_on_own_thread(t->close, h);
}

Status device_setting(Handle h, uint32_t value) {
  const Table* t = table();
  return t ? t->device_setting(h, value) : kNotLoaded;
}

Status pipe_timeout(Handle h, uint8_t pipe, uint32_t ms) {
  const Table* t = table();
  return t ? t->pipe_timeout(h, pipe, ms) : kNotLoaded;
}

Status read_pipe(Handle h, uint8_t pipe, uint8_t* buffer, uint32_t length, uint32_t* transferred,
                 Overlapped* ov) {
  const Table* t = table();
  return t ? t->read_pipe(h, pipe, buffer, length, transferred, ov) : kNotLoaded;
}

Status requeue_read(Handle h, uint8_t pipe, uint8_t* buffer, uint32_t length, uint32_t* transferred,
                    Overlapped* ov) {
  const Table* t = table();
  return t ? t->requeue_read(h, pipe, buffer, length, transferred, ov) : kNotLoaded;
}

Status write_pipe(Handle h, uint8_t pipe, const uint8_t* buffer, uint32_t length,
                  uint32_t* transferred, Overlapped* ov) {
  const Table* t = table();
  // The vendor signature is not const-correct; a write never changes the buffer.
  return t ? t->write_pipe(h, pipe, const_cast<uint8_t*>(buffer), length, transferred, ov)
           : kNotLoaded;
}

Status transfer_result(Handle h, Overlapped* ov, uint32_t* transferred, bool wait) {
  const Table* t = table();
  return t ? t->result(h, ov, transferred, wait ? 1 : 0) : kNotLoaded;
}

Status prepare_overlapped(Handle h, Overlapped* ov) {
  const Table* t = table();
  return t ? t->prepare_overlapped(h, ov) : kNotLoaded;
}

Status release_overlapped(Handle h, Overlapped* ov) {
  const Table* t = table();
  return t ? t->release_overlapped(h, ov) : kNotLoaded;
}

Status stream_on(Handle h, uint8_t pipe, uint32_t transfer_size) {
  const Table* t = table();
  return t ? t->stream_on(h, 0, 0, pipe, transfer_size) : kNotLoaded;
}

Status stream_off(Handle h, uint8_t pipe) {
  const Table* t = table();
  return t ? t->stream_off(h, 0, 0, pipe) : kNotLoaded;
}

Status abort_pipe(Handle h, uint8_t pipe) {
  const Table* t = table();
  return t ? t->abort_pipe(h, pipe) : kNotLoaded;
}

Status device_abort(Handle h) {
  const Table* t = table();
  return t ? t->device_abort(h) : kNotLoaded;
}

bool loaded() {
  return table() != nullptr;
}

void unload() {
  std::lock_guard<std::mutex> lock(g_load_mutex);
  if (g_published.exchange(nullptr, std::memory_order_acq_rel)) detail::unload_library();
  g_table = Table{};
}

}  // namespace bridge
