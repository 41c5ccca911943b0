// TUSBTask: the USB stream task.
#include "usb/Usbtask1.h"

#include <mutex>

#include "control/Form1.h"
#include "control/commands.h"
#include "control/stream_config.h"
#include "platform/bridge.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace usb {

UsbCounters g_usb_counters;
std::atomic<uint32_t> g_usb_generation{0};

namespace {

constexpr uint32_t kPipeTimeoutMs = 1900;
constexpr uint32_t kErrorBudgetPerPacing = 16;  // consecutive failed results per unit of P
constexpr int kRetrySleepMs = 2;
constexpr int kReopenFirstSleepMs = 200;
constexpr int kReopenRetrySleepMs = 100;
constexpr int kExceptionSleepMs = 5;

// Process-wide buffers: the task never allocates while streaming, and a task that outlived its
// stopper never runs on freed memory.
alignas(64) uint8_t g_read_buffers[kReadTransfers][kReadBufferBytes];
alignas(64) uint8_t g_out_a[kHostBlockBytes + kOutputSlack];
alignas(64) uint8_t g_out_b[kHostBlockBytes + kOutputSlack];
bridge::Overlapped g_read_records[kReadTransfers];
uint32_t g_read_counts[kReadTransfers];
ReplyBatch g_batch;
// The read and write records belong to the task that prepared them last: a task that was given
// up releases them only if no newer task has taken them since.
std::mutex g_records_lock;
uint32_t g_records_owner = 0;  // generation + 1 of the owner; 0 = none. Guarded by the lock

// Who closes the device a running task uses: the task holds it (its generation + 1) and hands it
// back at its end (0), after which the stopper closes it; a stopper that gives the task up takes
// the hand-back away (kGivenUp) and the task closes the device itself. Exactly one of the two
// compare-exchanges below wins, so the device always has one closer.
constexpr uint32_t kGivenUp = 0xFFFFFFFFu;
std::atomic<uint32_t> g_device_holder{0};

inline uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

class Task {
 public:
  explicit Task(uint32_t generation) : generation_(generation) {}
  void run();

 private:
  bool stale() const { return g_usb_generation.load() != generation_; }
  bool stop_requested() const { return plugin::g_plugin.usb_stop.load() != 0; }
  bool start_transfers(uint32_t transfer_bytes);
  void end_transfers();
  void link_loss();
  void exit();
  void leave_stale();
  void body();
  void process(int& k, const control::UsbGeometry& geo);
  void requeue(int& k, const control::UsbGeometry& geo);

  uint32_t generation_;
  bridge::Handle h_ = nullptr;
};

bool Task::start_transfers(uint32_t transfer_bytes) {
  std::lock_guard<std::mutex> lock(g_records_lock);
  g_records_owner = generation_ + 1;
  bridge::stream_on(h_, bridge::kPipeIn, transfer_bytes);
  for (int k = 0; k < kReadTransfers; ++k) bridge::prepare_overlapped(h_, &g_read_records[k]);
  for (int k = 0; k < kReadTransfers; ++k) {
    g_read_counts[k] = 0;
    bridge::read_pipe(h_, bridge::kPipeIn, g_read_buffers[k], transfer_bytes, &g_read_counts[k],
                      &g_read_records[k]);
  }
  bridge::prepare_overlapped(h_, &g_usb_tx.write_record);
  g_usb_tx.send_ready = 1;
  g_usb_tx.write_status = kWriteIdle;
  g_usb_tx.wait_counter = 0;
  return true;
}

// Ends every transfer and frees the records. A command write may still be pending: abort its
// pipe before its record goes.
void Task::end_transfers() {
  bridge::abort_pipe(h_, bridge::kPipeIn);
  bridge::stream_off(h_, bridge::kPipeIn);
  for (int k = 0; k < kReadTransfers; ++k) bridge::release_overlapped(h_, &g_read_records[k]);
  if (g_usb_tx.write_status.load() != kWriteIdle) bridge::abort_pipe(h_, bridge::kPipeOut);
  bridge::release_overlapped(h_, &g_usb_tx.write_record);
}

// Converts the samples, counts the sequence numbers and takes the reply records of one transfer;
// after it the read buffer is free again.
bool take_transfer(const uint8_t* buf, const control::UsbGeometry& geo) {
  const bool streaming = plugin::g_plugin.usb_streaming.load() != 0;
  g_batch.count = 0;
  uint32_t last_tag = g_link.last_reply_tag.load(std::memory_order_relaxed);
  uint32_t packets = g_usb_counters.packets.load(std::memory_order_relaxed);
  uint32_t lost = 0;
  if (streaming) convert_transfer(buf, geo.blocks, geo.sixteen_bit, geo.dual, g_out_a, g_out_b);
  for (uint32_t b = 0; b < geo.blocks; ++b) {
    const uint8_t* block = buf + b * kBlockBytes;
    uint32_t tag = le32(block + 4084);
    if (tag != last_tag) {
      last_tag = tag;
      if (g_batch.count < kMaxReplyRecords) {
        g_batch.records[g_batch.count++] = {le32(block + 4088), le32(block + 4092)};
      }
    }
    uint32_t seq = le32(block);
    if (seq != packets) ++lost;
    packets = seq + 1;
  }
  g_link.last_reply_tag.store(last_tag, std::memory_order_relaxed);
  g_usb_counters.packets.store(packets, std::memory_order_relaxed);
  if (lost) g_usb_counters.lost.fetch_add(lost, std::memory_order_relaxed);
  return streaming;
}

// Hands the converted samples to the host, then, unless `generation` went stale meanwhile, takes
// one turn of the command drain with the transfer's reply records.
void deliver_transfer(const control::UsbGeometry& geo, uint32_t generation, bool converted) {
  if (converted) plugin::deliver_usb(g_out_a, g_out_b, geo.dual);
  if (g_usb_generation.load() != generation) return;
  usb_drain(g_batch);
}

// Queues read k again and moves on to the next.
void Task::requeue(int& k, const control::UsbGeometry& geo) {
  g_read_counts[k] = 0;
  bridge::requeue_read(h_, bridge::kPipeIn, g_read_buffers[k], geo.transfer_bytes(),
                       &g_read_counts[k], &g_read_records[k]);
  k = (k + 1) % kReadTransfers;
}

// Queues the read of transfer k again before the host's callbacks: the host may take as long as
// eight queued transfers last, not seven.
void Task::process(int& k, const control::UsbGeometry& geo) {
  const bool converted = take_transfer(g_read_buffers[k], geo);
  requeue(k, geo);
  deliver_transfer(geo, generation_, converted);
}

void Task::link_loss() {
  if (h_) {
    end_transfers();
    // Only the device this task opened is closed here; the user-interface thread owns a handle
    // it replaced meanwhile.
    bridge::Handle expected = h_;
    if (g_link.handle.compare_exchange_strong(expected, nullptr)) bridge::close(h_);
    h_ = nullptr;
  }
  g_usb_tx.write_status = kWriteLinkDown;
  g_usb_tx.send_ready = 0;
}

// Given up by a stopper: the device is this task's to close (nobody else may), but records and
// buffers may belong to a newer task by now.
void Task::leave_stale() {
  if (!h_) return;
  {
    std::lock_guard<std::mutex> lock(g_records_lock);
    if (g_records_owner == generation_ + 1) {
      end_transfers();
      g_records_owner = 0;
    } else {
      bridge::abort_pipe(h_, bridge::kPipeIn);
      bridge::abort_pipe(h_, bridge::kPipeOut);
    }
  }
  bridge::Handle mine = h_;
  g_link.handle.compare_exchange_strong(mine, nullptr);  // published while it was given up
  bridge::close(h_);
  h_ = nullptr;
}

void Task::exit() {
  g_usb_tx.send_ready = 0;
  g_usb_tx.write_status = kWriteLinkDown;
  if (!h_ || g_link.handle.load() != h_) return;
  end_transfers();
  auto stop = commands::stop_usb(next_sequence());
  uint32_t written = 0;
  if (bridge::write_pipe(h_, bridge::kPipeOut, stop.data(), uint32_t(stop.size()), &written,
                         nullptr) != bridge::kOk) {
    bridge::abort_pipe(h_, bridge::kPipeOut);
  }
}

void Task::run() {
  g_device_holder.store(generation_ + 1);
  body();
  uint32_t me = generation_ + 1;
  if (!g_device_holder.compare_exchange_strong(me, 0)) leave_stale();
}

void Task::body() {
  g_usb_counters.packets = 0;
  g_usb_counters.lost = 0;
  h_ = g_link.handle.load();
  if (!h_) return exit();
  control::UsbGeometry geo = control::usb_geometry();
  start_transfers(geo.transfer_bytes());
  int k = 0;
  uint32_t errors = 0;
  bool reopened = false;

  while (!stop_requested() && g_link.handle.load() == h_ && h_) {
    try {
      uint32_t count = 0;
      bridge::Status s = bridge::transfer_result(h_, &g_read_records[k], &count, true);
      if (stale()) return;
      if (stop_requested()) break;
      if (s != bridge::kOk) {
        ++errors;
        if (errors <= kErrorBudgetPerPacing * g_usb_tx.pacing.load()) {
          tasks::sleep_ms(kRetrySleepMs);
          continue;
        }
        // Link loss: close, then reopen until it works or we are asked to stop.
        link_loss();
        if (stop_requested()) break;
        tasks::sleep_ms(kReopenFirstSleepMs);
        while (!stop_requested() && !stale() && !h_) {
          bridge::Handle h = nullptr;
          if (bridge::open_by_description(&h) == bridge::kOk && h) {
            h_ = h;
            g_link.handle = h;
            reopened = true;
          } else {
            if (h) bridge::close(h);
            tasks::sleep_ms(kReopenRetrySleepMs);
          }
        }
        if (stale()) return;
        if (stop_requested()) break;
        g_usb_counters.packets = 0;
        g_usb_counters.lost = 0;
        bridge::device_setting(h_, 0);
        bridge::pipe_timeout(h_, bridge::kPipeOut, kPipeTimeoutMs);
        bridge::pipe_timeout(h_, bridge::kPipeIn, kPipeTimeoutMs);
        geo = control::usb_geometry();
        start_transfers(geo.transfer_bytes());
        k = 0;
        errors = 0;
        // The receiver may have lost its settings with the link: the panel gives them again.
        if (reopened) ui::post(&restore_receiver_settings);
        reopened = false;
        tasks::sleep_ms(kRetrySleepMs);
        continue;
      }
      errors = 0;
      // One geometry snapshot per transfer: the flags and sizes used below always agree.
      geo = control::usb_geometry();
      if (count == geo.transfer_bytes()) {
        process(k, geo);
        if (stale()) return;
      } else {
        if (g_usb_counters.packets.load() >= 3) g_usb_counters.lost.fetch_add(geo.blocks);
        requeue(k, geo);
      }
    } catch (...) {
      if (stale()) return;
      if (stop_requested() || g_link.handle.load() != h_) break;
      tasks::sleep_ms(kExceptionSleepMs);
    }
  }
  if (stale()) return;
  exit();
}

}  // namespace

void process_transfer(const uint8_t* buf, const control::UsbGeometry& geo, uint32_t generation) {
  deliver_transfer(geo, generation, take_transfer(buf, geo));
}

uint8_t* read_buffer(int k) {
  return g_read_buffers[k];
}

void start_usb_task() {
  auto& g = plugin::g_plugin;
  if (!g.pool || g.usb_task.running()) return;
  uint32_t generation = g_usb_generation.load();
  g.usb_task = g.pool->start([generation] { Task(generation).run(); });
}

bool stop_usb_task(int ms) {
  auto& g = plugin::g_plugin;
  g.usb_stop = 1;
  if (g.usb_task.empty()) return true;
  return plugin::wait_task(g.usb_task, ms);
}

bool abandon_usb_task() {
  auto& g = plugin::g_plugin;
  bool kept = false;
  if (g.usb_task.running()) {
    uint32_t holder = g_usb_generation.fetch_add(1) + 1;
    // The device goes with the task, which closes it when it leaves; unless it has just handed
    // it back on its way out.
    kept = g_device_holder.compare_exchange_strong(holder, kGivenUp);
    if (kept) g_link.handle = nullptr;
    plugin::keep_library_loaded();
  }
  g.usb_task.drop();
  return kept;
}

void restore_receiver_settings() {
  if (F_RDR1 && plugin::g_plugin.open_count.load() != 0) F_RDR1->restore_receiver();
}

}  // namespace usb
