#include "usb_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace kmvsim {
namespace {

constexpr uint32_t kPayloadOffset = 4;
constexpr uint32_t kTrailerOffset = 4084;
constexpr uint32_t kBatchBlocks = 64;     // blocks made per round of the producer
constexpr int64_t kIdleTickNs = 1000000;  // real time with nowhere to put blocks: drop each 1 ms
constexpr uintptr_t kHandleBase = 0x4B4D0000;
constexpr uint32_t kRecordMagic = 0x4B4D5652;
constexpr size_t kMaxQueuedRecords = 256;
constexpr int64_t kForever = INT64_MAX / 4;

// What the device keeps in the caller's overlapped record between prepare and release.
struct RecordTag {
  uint32_t magic;
  uint32_t session;
  uint32_t slot;
};

int64_t now_ns() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

std::chrono::steady_clock::time_point at(int64_t ns) {
  return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

void put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

}  // namespace

struct UsbDevice::Transfer {
  enum class State { Idle, Pending, Done };
  State state = State::Idle;
  uint8_t pipe = 0;
  uint8_t* buffer = nullptr;
  uint32_t length = 0;  // whole blocks wanted
  uint32_t limit = 0;   // ends successfully once this much arrived (short transfers)
  uint32_t filled = 0;
  uint32_t status = kOk;
  int64_t activity_ns = 0;  // last block, or when it became the head of the pipe
  // A write held in flight: polls without waiting still answered with poll_status.
  uint32_t polls = 0;
  uint32_t poll_status = kIoPending;
};

struct UsbDevice::Session {
  uint32_t id = 0;
  bool alive = true;  // false once the device was unplugged under it
  // Transfers stay allocated until the session is gone, so a waiter never sees one vanish.
  std::vector<std::unique_ptr<Transfer>> records;
  std::vector<uint32_t> free;
};

UsbDevice::UsbDevice() : fifo_(size_t(kFifoBlocks) * kBlockBytes) {
  current_ = {receiver_.status_word(), 0};
}

UsbDevice::~UsbDevice() {
  Lock lock(mutex_);
  end_reads(kAborted);
  live_.reset();
  sessions_.clear();
  stop_producer(lock);
}

// ---- sessions and records ------------------------------------------------------------------

std::shared_ptr<UsbDevice::Session> UsbDevice::find(void* handle) {
  const uintptr_t h = reinterpret_cast<uintptr_t>(handle);
  if (h <= kHandleBase) return nullptr;
  auto it = sessions_.find(uint32_t(h - kHandleBase));
  return it == sessions_.end() ? nullptr : it->second;
}

uint32_t UsbDevice::check(void* handle, std::shared_ptr<Session>& s) {
  s = find(handle);
  if (!s) return kInvalidHandle;
  return s->alive ? kOk : kDeviceNotConnected;
}

UsbDevice::Transfer* UsbDevice::record(Session& s, void* ov) {
  if (!ov) return nullptr;
  RecordTag tag;
  std::memcpy(&tag, ov, sizeof tag);
  if (tag.magic != kRecordMagic || tag.session != s.id || tag.slot >= s.records.size()) {
    return nullptr;
  }
  return s.records[tag.slot].get();
}

void UsbDevice::complete(Transfer& t, uint32_t status) {
  t.state = Transfer::State::Done;
  t.status = status;
}

void UsbDevice::end_reads(uint32_t status) {
  for (Transfer* t : reads_) complete(*t, status);
  reads_.clear();
  done_.notify_all();
}

void UsbDevice::end_writes(Session& s, uint32_t status) {
  for (auto& t : s.records) {
    if (t->pipe == kPipeOut && t->state == Transfer::State::Pending) complete(*t, status);
  }
  done_.notify_all();
}

void UsbDevice::pop_head(int64_t now) {
  reads_.pop_front();
  if (!reads_.empty()) reads_.front()->activity_ns = now;
  done_.notify_all();
}

// ---- bridge operations ---------------------------------------------------------------------

uint32_t UsbDevice::device_count(uint32_t* count) {
  if (!count) return kInvalidParameter;
  Lock lock(mutex_);
  *count = present_ ? 1 : 0;
  return kOk;
}

uint32_t UsbDevice::open(const void* arg, uint32_t flags, void** handle) {
  if (!handle) return kInvalidParameter;
  *handle = nullptr;
  Lock lock(mutex_);
  if (!present_ || flags != kOpenByDescription || !arg ||
      std::strcmp(static_cast<const char*>(arg), kDescription) != 0) {
    return kDeviceNotFound;
  }
  if (live_) return kDeviceNotOpened;  // one handle at a time, as the bridge chip allows
  auto s = std::make_shared<Session>();
  s->id = next_session_++;
  sessions_[s->id] = s;
  live_ = s;
  paused_ = false;
  restart_stream(now_ns());
  start_producer(lock);
  *handle = reinterpret_cast<void*>(kHandleBase + s->id);
  return kOk;
}

uint32_t UsbDevice::close(void* handle) {
  Lock lock(mutex_);
  auto s = find(handle);
  if (!s) return kInvalidHandle;
  if (s == live_) {
    end_reads(kAborted);
    live_.reset();
  }
  sessions_.erase(s->id);
  done_.notify_all();
  if (sessions_.empty()) stop_producer(lock);
  return kOk;
}

uint32_t UsbDevice::device_setting(void* handle, uint32_t) {
  Lock lock(mutex_);
  std::shared_ptr<Session> s;
  return check(handle, s);
}

uint32_t UsbDevice::pipe_timeout(void* handle, uint8_t pipe, uint32_t ms) {
  Lock lock(mutex_);
  std::shared_ptr<Session> s;
  if (uint32_t st = check(handle, s)) return st;
  if (pipe == kPipeIn) {
    read_timeout_ms_ = ms;
    wake_.notify_all();
  } else if (pipe != kPipeOut) {
    return kInvalidParameter;  // writes never wait here, so their time-out changes nothing
  }
  return kOk;
}

uint32_t UsbDevice::queue_read(Session&, Transfer& t, uint8_t* buffer, uint32_t length) {
  const uint32_t blocks = length / kBlockBytes;
  if (!buffer || blocks == 0) return kInvalidParameter;
  t.pipe = kPipeIn;
  t.buffer = buffer;
  t.length = t.limit = blocks * kBlockBytes;
  t.filled = 0;
  t.status = kOk;
  t.state = Transfer::State::Pending;
  if (fail_reads_ > 0) {
    --fail_reads_;
    complete(t, fail_reads_status_);
    done_.notify_all();
    return kOk;
  }
  if (short_transfers_ > 0) {
    --short_transfers_;
    t.limit = std::min(t.length, short_blocks_ * kBlockBytes);
    if (t.limit == 0) {
      complete(t, kOk);
      done_.notify_all();
      return kOk;
    }
  }
  const int64_t now = now_ns();
  reads_.push_back(&t);
  if (reads_.size() == 1) t.activity_ns = now;
  // Whatever waits in the FIFO goes to the reads first.
  while (fifo_count_ > 0 && !reads_.empty()) {
    Transfer& head = *reads_.front();
    std::memcpy(head.buffer + head.filled, &fifo_[size_t(fifo_head_) * kBlockBytes], kBlockBytes);
    fifo_head_ = (fifo_head_ + 1) % kFifoBlocks;
    --fifo_count_;
    head.filled += kBlockBytes;
    head.activity_ns = now;
    if (head.filled >= head.limit) {
      complete(head, kOk);
      pop_head(now);
    }
  }
  wake_.notify_all();
  return kOk;
}

uint32_t UsbDevice::read_pipe(void* handle, uint8_t pipe, uint8_t* buffer, uint32_t length,
                              uint32_t* transferred, void* ov) {
  Lock lock(mutex_);
  std::shared_ptr<Session> s;
  const uint32_t st = check(handle, s);
  if (ov) {
    Transfer* t = s ? record(*s, ov) : nullptr;
    if (st) {
      if (t && t->state != Transfer::State::Pending) complete(*t, st);
      return st;
    }
    if (!t || t->state == Transfer::State::Pending || pipe != kPipeIn) return kInvalidParameter;
    const uint32_t q = queue_read(*s, *t, buffer, length);
    return q == kOk ? kIoPending : q;
  }
  if (transferred) *transferred = 0;
  if (st) return st;
  if (pipe != kPipeIn) return kInvalidParameter;
  Transfer local;
  if (uint32_t q = queue_read(*s, local, buffer, length)) return q;
  done_.wait(lock, [&] { return local.state != Transfer::State::Pending; });
  if (transferred) *transferred = local.filled;
  return local.status;
}

uint32_t UsbDevice::write_pipe(void* handle, uint8_t pipe, const uint8_t* buffer, uint32_t length,
                               uint32_t* transferred, void* ov) {
  Lock lock(mutex_);
  std::shared_ptr<Session> s;
  if (uint32_t st = check(handle, s)) return st;
  Transfer* t = nullptr;
  if (ov) {
    t = record(*s, ov);
    if (!t || t->state == Transfer::State::Pending) return kInvalidParameter;
  }
  if (pipe != kPipeOut || (!buffer && length)) return kInvalidParameter;

  if (t && fail_writes_ == 0 && hold_writes_ > 0) {
    // In flight: the buffer is read only when the write completes, as a driver does.
    --hold_writes_;
    *t = Transfer{};
    t->pipe = kPipeOut;
    t->buffer = const_cast<uint8_t*>(buffer);
    t->length = length;
    t->polls = hold_polls_;
    t->poll_status = hold_status_;
    t->state = Transfer::State::Pending;
    return kIoPending;
  }
  uint32_t status = kOk;
  uint32_t count = length;
  if (fail_writes_ > 0) {
    --fail_writes_;
    status = fail_writes_status_;
    count = 0;
  } else {
    receive(buffer, length);
  }
  if (t) {
    // The message is taken at once; the result call reports it.
    t->pipe = kPipeOut;
    t->filled = count;
    complete(*t, status);
    done_.notify_all();
    return status == kOk ? kIoPending : status;
  }
  if (transferred) *transferred = count;
  return status;
}

void UsbDevice::receive(const uint8_t* buffer, uint32_t length) {
  ++commands_;
  if (silent_) {
    receiver_.log_only(buffer, length);
    return;
  }
  const uint32_t clock = receiver_.clock_mhz;
  const uint8_t format = receiver_.usb_format;
  const Receiver::Outcome o = receiver_.handle(buffer, length);
  Receiver::Outcome sent = o;
  if (o.urgent && garble_identify_ > 0) {
    --garble_identify_;
    // Noise where the identify answer belongs: a code that is no answer at all.
    for (int i = 0; i < sent.count; ++i) sent.replies[i] = {0xC3A55AE7u, 0xFFFFFFFFu};
  }
  for (int i = 0; i < sent.count; ++i) queue_record(sent.replies[i], sent.urgent);
  const bool was_paused = paused_;
  if (o.event == Receiver::Event::StopUsb) {
    paused_ = true;
  } else if (o.applied) {
    paused_ = false;  // any other command wakes the stream up again
  }
  if (clock != receiver_.clock_mhz || format != receiver_.usb_format || (was_paused && !paused_)) {
    rebase_ = true;
  }
  wake_.notify_all();
}

uint32_t UsbDevice::result(void* handle, void* ov, uint32_t* transferred, int32_t wait) {
  Lock lock(mutex_);
  std::shared_ptr<Session> s = find(handle);  // a dead session still reports its transfers
  if (!s) return kInvalidHandle;
  Transfer* t = record(*s, ov);
  if (!t || t->state == Transfer::State::Idle) return kInvalidParameter;
  if (t->pipe == kPipeIn && fail_results_ > 0) {
    --fail_results_;
    return fail_results_status_;
  }
  if (t->pipe == kPipeOut && t->state == Transfer::State::Pending) {
    if (!s->alive) {
      complete(*t, kDeviceNotConnected);
    } else if (!wait && t->polls > 0) {
      --t->polls;
      return t->poll_status;
    } else {
      receive(t->buffer, t->length);
      t->filled = t->length;
      complete(*t, kOk);
    }
    done_.notify_all();
  }
  if (t->state == Transfer::State::Pending) {
    if (!wait) return kIoPending;
    done_.wait(lock, [t] { return t->state != Transfer::State::Pending; });
    if (t->state == Transfer::State::Idle) return kAborted;  // released meanwhile
  }
  if (transferred) *transferred = t->filled;
  return t->status;
}

uint32_t UsbDevice::prepare_overlapped(void* handle, void* ov) {
  Lock lock(mutex_);
  std::shared_ptr<Session> s;
  if (uint32_t st = check(handle, s)) return st;
  if (!ov) return kInvalidParameter;
  uint32_t slot;
  if (!s->free.empty()) {
    slot = s->free.back();
    s->free.pop_back();
    *s->records[slot] = Transfer{};
  } else {
    slot = uint32_t(s->records.size());
    s->records.push_back(std::make_unique<Transfer>());
  }
  const RecordTag tag{kRecordMagic, s->id, slot};
  std::memcpy(ov, &tag, sizeof tag);
  return kOk;
}

uint32_t UsbDevice::release_overlapped(void* handle, void* ov) {
  Lock lock(mutex_);
  std::shared_ptr<Session> s = find(handle);
  if (!s) return kInvalidHandle;
  Transfer* t = record(*s, ov);
  if (!t) return kInvalidParameter;
  if (t->state == Transfer::State::Pending) {
    auto it = std::find(reads_.begin(), reads_.end(), t);
    if (it == reads_.end()) {
      // a held write: dropped unread
    } else if (it == reads_.begin()) {
      pop_head(now_ns());
    } else {
      reads_.erase(it);
    }
  }
  *t = Transfer{};
  done_.notify_all();
  RecordTag tag;
  std::memcpy(&tag, ov, sizeof tag);
  s->free.push_back(tag.slot);
  tag.magic = 0;
  std::memcpy(ov, &tag, sizeof tag);
  return kOk;
}

uint32_t UsbDevice::stream_on(void* handle, uint8_t pipe, uint32_t) {
  Lock lock(mutex_);
  std::shared_ptr<Session> s;
  if (uint32_t st = check(handle, s)) return st;
  if (pipe != kPipeIn) return kInvalidParameter;
  paused_ = false;
  restart_stream(now_ns());
  wake_.notify_all();
  return kOk;
}

uint32_t UsbDevice::stream_off(void* handle, uint8_t pipe) {
  Lock lock(mutex_);
  std::shared_ptr<Session> s;
  if (uint32_t st = check(handle, s)) return st;
  return pipe == kPipeIn ? kOk : kInvalidParameter;
}

uint32_t UsbDevice::abort_pipe(void* handle, uint8_t pipe) {
  Lock lock(mutex_);
  std::shared_ptr<Session> s;
  if (uint32_t st = check(handle, s)) return st;
  if (pipe == kPipeIn) {
    end_reads(kAborted);
  } else if (pipe == kPipeOut) {
    end_writes(*s, kAborted);
  } else {
    return kInvalidParameter;
  }
  return kOk;
}

uint32_t UsbDevice::device_abort(void* handle) {
  Lock lock(mutex_);
  std::shared_ptr<Session> s;
  if (uint32_t st = check(handle, s)) return st;
  end_reads(kAborted);
  end_writes(*s, kAborted);
  return kOk;
}

// ---- block stream --------------------------------------------------------------------------

// A fresh stream: numbering and samples start at 0 and nothing made before is delivered.
void UsbDevice::restart_stream(int64_t) {
  ++epoch_;
  sequence_ = 0;
  restart_generator_ = true;
  rebase_ = true;
  fifo_head_ = fifo_count_ = 0;
}

uint32_t UsbDevice::room() const {
  uint64_t blocks = kFifoBlocks - fifo_count_;
  for (const Transfer* t : reads_) blocks += (t->limit - t->filled) / kBlockBytes;
  return uint32_t(std::min<uint64_t>(blocks, UINT32_MAX));
}

void UsbDevice::queue_record(const ReplyRecord& r, bool urgent) {
  if (urgent) {
    records_.push_front(r);
    urgent_front_ = true;
  } else if (records_.size() < kMaxQueuedRecords) {
    records_.push_back(r);
  }
}

// The latest status replaces one still waiting.
void UsbDevice::queue_status() {
  const ReplyRecord r{receiver_.status_word(), 0};
  for (ReplyRecord& q : records_) {
    if ((q.word & 0xFF) == kCodeStatus) {
      q = r;
      return;
    }
  }
  queue_record(r, false);
}

bool UsbDevice::place(const uint8_t* payload, uint32_t sequence, int64_t now) {
  uint8_t* block;
  Transfer* t = nullptr;
  if (!reads_.empty()) {
    t = reads_.front();
    block = t->buffer + t->filled;
  } else if (fifo_count_ < kFifoBlocks) {
    block = &fifo_[size_t((fifo_head_ + fifo_count_) % kFifoBlocks) * kBlockBytes];
    ++fifo_count_;
  } else {
    return false;
  }
  if (!records_.empty() && (since_record_ >= kRecordSpacing || urgent_front_)) {
    current_ = records_.front();
    records_.pop_front();
    urgent_front_ = false;
    ++tag_;
    since_record_ = 0;
    ++records_sent_;
  }
  ++since_record_;
  put32(block, sequence);
  std::memcpy(block + kPayloadOffset, payload, SignalGenerator::kPayloadBytes);
  if (bad_trailers_ > 0) {
    // A new tag over a record that means nothing: the queued records wait.
    --bad_trailers_;
    ++tag_;
    garbage_ = garbage_ * 1103515245u + 12345u;
    put32(block + kTrailerOffset, tag_);
    put32(block + kTrailerOffset + 4, garbage_);
    put32(block + kTrailerOffset + 8, garbage_ * 2654435761u);
  } else {
    put32(block + kTrailerOffset, tag_);
    put32(block + kTrailerOffset + 4, current_.word);
    put32(block + kTrailerOffset + 8, current_.value);
  }
  ++blocks_sent_;
  if (t) {
    t->filled += kBlockBytes;
    t->activity_ns = now;
    if (t->filled >= t->limit) {
      complete(*t, kOk);
      pop_head(now);
    }
  }
  return true;
}

SignalParams UsbDevice::signal_params() const {
  SignalParams p;
  p.config = signal_;
  p.format = receiver_.usb_stream();
  p.rate_hz = receiver_.stream_rate(p.format);
  p.frequency[0] = receiver_.frequency[0];
  p.frequency[1] = receiver_.frequency[1];
  p.gain[0] = receiver_.gain(0);
  p.gain[1] = receiver_.gain(1);
  return p;
}

void UsbDevice::start_producer(Lock&) {
  if (producer_.joinable()) return;
  producer_ = std::thread(&UsbDevice::produce, this, ++producer_generation_);
}

void UsbDevice::stop_producer(Lock& lock) {
  ++producer_generation_;
  std::thread t = std::move(producer_);
  wake_.notify_all();
  lock.unlock();
  if (t.joinable()) t.join();
  lock.lock();
}

void UsbDevice::produce(uint64_t generation) {
  SignalGenerator gen;
  std::vector<uint8_t> scratch(size_t(kBatchBlocks) * SignalGenerator::kPayloadBytes);
  int64_t base_ns = 0;
  uint64_t made = 0;            // blocks made or dropped since base_ns
  double blocks_per_ns = 1e-6;  // real-time pace of the current format
  Lock lock(mutex_);
  while (producer_generation_ == generation) {
    const int64_t now = now_ns();
    const int64_t timeout_ns = int64_t(read_timeout_ms_) * 1000000;
    if (!reads_.empty() && timeout_ns > 0 && !stalled_ &&
        now - reads_.front()->activity_ns >= timeout_ns) {
      ++timeouts_;
      complete(*reads_.front(), kTimeout);
      pop_head(now);
      continue;
    }
    int64_t deadline = now + kForever;
    if (!reads_.empty() && timeout_ns > 0 && !stalled_) {
      deadline = reads_.front()->activity_ns + timeout_ns;
    }

    if (!live_ || silent_ || paused_ || stalled_) {
      wake_.wait_until(lock, at(deadline));
      continue;
    }
    if (status_dirty_ || now >= next_status_ns_) {
      queue_status();
      status_dirty_ = false;
      next_status_ns_ = now + int64_t(kStatusIntervalMs) * 1000000;
    }
    deadline = std::min(deadline, next_status_ns_);
    queue_firmware_replies(now, deadline);
    if (restart_generator_) {
      gen.restart();
      restart_generator_ = false;
    }
    const SignalParams params = signal_params();
    gen.set(params);
    if (rebase_) {
      base_ns = now;
      made = 0;
      blocks_per_ns = params.rate_hz / params.format.samples_per_block() / 1e9;
      rebase_ = false;
    }

    const uint32_t free_blocks = room();
    uint64_t due;
    if (real_time_) {
      const uint64_t elapsed = uint64_t(double(now - base_ns) * blocks_per_ns);
      due = elapsed > made ? elapsed - made : 0;
      if (due == 0) {
        deadline = std::min(deadline, base_ns + int64_t(double(made + 1) / blocks_per_ns) + 1);
        wake_.wait_until(lock, at(deadline));
        continue;
      }
      if (free_blocks == 0) {
        // Nothing reads and the FIFO is full: these blocks are lost as they are made.
        sequence_ += uint32_t(due);
        gen.skip(due);
        blocks_dropped_ += due;
        made += due;
        wake_.wait_until(lock, at(std::min(deadline, now + kIdleTickNs)));
        continue;
      }
    } else {
      due = free_blocks;
      if (due == 0) {
        wake_.wait_until(lock, at(deadline));
        continue;
      }
    }

    if (skip_ > 0) {
      sequence_ += skip_;
      gen.skip(skip_);
      skip_ = 0;
    }
    const uint32_t n = uint32_t(std::min<uint64_t>({due, free_blocks, kBatchBlocks}));
    // Blocks due beyond the room left are lost: the FIFO filled before anyone read.
    const uint64_t lost = real_time_ && n == free_blocks && due > n ? due - n : 0;
    const uint32_t first = sequence_;
    sequence_ += n;
    const uint64_t epoch = epoch_;

    lock.unlock();
    for (uint32_t i = 0; i < n; ++i) gen.fill(&scratch[size_t(i) * SignalGenerator::kPayloadBytes]);
    lock.lock();

    if (producer_generation_ != generation) break;
    if (epoch != epoch_) continue;  // the stream restarted meanwhile: these never existed
    const int64_t placed = now_ns();
    for (uint32_t i = 0; i < n; ++i) {
      if (!place(&scratch[size_t(i) * SignalGenerator::kPayloadBytes], first + i, placed)) {
        ++blocks_dropped_;  // the reads were ended meanwhile
      }
    }
    if (lost > 0) {
      sequence_ += uint32_t(lost);
      gen.skip(lost);
      blocks_dropped_ += lost;
    }
    made += n + lost;
  }
}

// ---- control -------------------------------------------------------------------------------

void UsbDevice::reset() {
  Lock lock(mutex_);
  receiver_.reset();
  signal_ = SignalConfig::defaults();
  present_ = true;
  silent_ = paused_ = false;
  real_time_ = true;
  skip_ = short_transfers_ = short_blocks_ = 0;
  fail_reads_ = fail_results_ = fail_writes_ = 0;
  hold_writes_ = hold_polls_ = 0;
  bad_trailers_ = garble_identify_ = 0;
  garbage_ = kGarbageSeed;
  stalled_ = false;
  blocks_sent_ = blocks_dropped_ = records_sent_ = commands_ = 0;
  timeouts_ = 0;
  records_.clear();
  urgent_front_ = false;
  status_dirty_ = true;
  rebase_ = true;
  wake_.notify_all();
}

void UsbDevice::state(KMVSIM_State& out) {
  Lock lock(mutex_);
  const StreamFormat f = receiver_.usb_stream();
  out.present = present_;
  out.open = live_ != nullptr;
  out.paused = paused_;
  out.clock_mhz = receiver_.clock_mhz;
  out.usb_format = receiver_.usb_format;
  out.lan_format = receiver_.lan_format;
  out.mode = receiver_.mode;
  out.frequency[0] = receiver_.frequency[0];
  out.frequency[1] = receiver_.frequency[1];
  for (int i = 0; i < 8; ++i) out.frontend[i] = receiver_.frontend[i];
  out.mix = receiver_.mix;
  out.address = receiver_.address;
  out.stream_rate = uint32_t(receiver_.stream_rate(f));
  out.stream_bits = f.bits16 ? 16 : 24;
  out.stream_dual = f.dual;
  out.stream_channel = uint32_t(f.channel);
  out.next_sequence = sequence_;
  out.blocks_sent = blocks_sent_;
  out.blocks_dropped = blocks_dropped_;
  out.records_sent = records_sent_;
  out.commands_received = commands_;
  out.transfer_timeouts = timeouts_;
  out.pipe_timeout_ms = read_timeout_ms_;
}

void UsbDevice::set_serial(uint32_t serial) {
  Lock lock(mutex_);
  receiver_.serial = serial & 0xFF;
}

void UsbDevice::set_version(uint32_t version) {
  Lock lock(mutex_);
  receiver_.version = version;
}

void UsbDevice::set_status(int32_t temperature, int32_t gps, bool overload1, bool overload2) {
  Lock lock(mutex_);
  receiver_.temperature = std::clamp(temperature, -128, 127);
  receiver_.gps = std::clamp(gps, -4096, 4095);
  receiver_.overload[0] = overload1;
  receiver_.overload[1] = overload2;
  status_dirty_ = true;
  wake_.notify_all();
}

void UsbDevice::set_real_time(bool on) {
  Lock lock(mutex_);
  real_time_ = on;
  rebase_ = true;
  wake_.notify_all();
}

void UsbDevice::set_pattern(bool on) {
  Lock lock(mutex_);
  signal_.pattern = on;
}

void UsbDevice::clear_tones() {
  Lock lock(mutex_);
  signal_.tone_count[0] = signal_.tone_count[1] = 0;
}

bool UsbDevice::add_tone(int channel, const Tone& tone) {
  Lock lock(mutex_);
  if (channel < 0 || channel > 1 || signal_.tone_count[channel] >= SignalConfig::kMaxTones) {
    return false;
  }
  signal_.tones[channel][signal_.tone_count[channel]++] = tone;
  return true;
}

void UsbDevice::set_noise(int channel, double level_dbfs) {
  Lock lock(mutex_);
  if (channel >= 0 && channel <= 1) signal_.noise_dbfs[channel] = level_dbfs;
}

void UsbDevice::withhold_replies(uint8_t code, bool withhold) {
  Lock lock(mutex_);
  receiver_.withheld[code] = withhold;
}

void UsbDevice::reject_address(bool reject) {
  Lock lock(mutex_);
  receiver_.reject_address = reject;
}

uint32_t UsbDevice::received_count() {
  Lock lock(mutex_);
  return uint32_t(receiver_.log().size());
}

uint32_t UsbDevice::received(uint32_t index, uint8_t* bytes, uint32_t capacity,
                             uint32_t* sequence) {
  Lock lock(mutex_);
  if (index >= receiver_.log().size()) return 0;
  const Receiver::Message& m = receiver_.log()[index];
  if (bytes) std::memcpy(bytes, m.bytes.data(), std::min<size_t>(capacity, m.bytes.size()));
  if (sequence) *sequence = m.sequence;
  return uint32_t(m.bytes.size());
}

void UsbDevice::clear_received() {
  Lock lock(mutex_);
  receiver_.clear_log();
}

uint32_t UsbDevice::firmware_image(uint8_t* bytes, uint32_t capacity) {
  Lock lock(mutex_);
  const uint32_t size = receiver_.firmware_size;
  const size_t n = std::min<size_t>({capacity, size, receiver_.firmware_image.size()});
  if (bytes && n > 0) std::memcpy(bytes, receiver_.firmware_image.data(), n);
  return size;
}

void UsbDevice::set_present(bool present) {
  Lock lock(mutex_);
  if (present_ && !present && live_) {
    live_->alive = false;
    end_writes(*live_, kDeviceNotConnected);
    live_.reset();
    end_reads(kDeviceNotConnected);
    fifo_head_ = fifo_count_ = 0;
  }
  present_ = present;
  wake_.notify_all();
}

void UsbDevice::set_silent(bool silent) {
  Lock lock(mutex_);
  silent_ = silent;
  rebase_ = true;
  wake_.notify_all();
}

void UsbDevice::skip_blocks(uint32_t count) {
  Lock lock(mutex_);
  skip_ += count;
}

void UsbDevice::short_transfers(uint32_t transfers, uint32_t blocks) {
  Lock lock(mutex_);
  short_transfers_ = transfers;
  short_blocks_ = blocks;
}

void UsbDevice::fail_reads(uint32_t count, uint32_t status) {
  Lock lock(mutex_);
  fail_reads_ = count;
  fail_reads_status_ = status;
}

void UsbDevice::fail_results(uint32_t count, uint32_t status) {
  Lock lock(mutex_);
  fail_results_ = count;
  fail_results_status_ = status;
}

void UsbDevice::fail_writes(uint32_t count, uint32_t status) {
  Lock lock(mutex_);
  fail_writes_ = count;
  fail_writes_status_ = status;
}

void UsbDevice::hold_writes(uint32_t writes, uint32_t polls, uint32_t status) {
  Lock lock(mutex_);
  hold_writes_ = writes;
  hold_polls_ = polls;
  hold_status_ = status;
}

void UsbDevice::bad_trailers(uint32_t blocks) {
  Lock lock(mutex_);
  bad_trailers_ = blocks;
}

void UsbDevice::stall_reads(bool on) {
  Lock lock(mutex_);
  stalled_ = on;
  rebase_ = true;
  // Reads waiting since before the stall would otherwise time out the moment it ends.
  const int64_t now = now_ns();
  for (Transfer* t : reads_) t->activity_ns = now;
  wake_.notify_all();
}

void UsbDevice::garble_identify(uint32_t answers) {
  Lock lock(mutex_);
  garble_identify_ = answers;
}

// ---- LAN side ------------------------------------------------------------------------------

Receiver::Outcome UsbDevice::link_message(const uint8_t* message, size_t length, bool log_only) {
  Lock lock(mutex_);
  if (log_only) {
    receiver_.log_only(message, length);
    return {};
  }
  const uint32_t clock = receiver_.clock_mhz;
  const uint8_t format = receiver_.usb_format;
  const Receiver::Outcome o = receiver_.handle(message, length);
  if (clock != receiver_.clock_mhz || format != receiver_.usb_format) {
    rebase_ = true;
    wake_.notify_all();
  }
  return o;
}

UsbDevice::LinkView UsbDevice::link_view() {
  Lock lock(mutex_);
  LinkView v;
  v.lan_format = receiver_.lan_format;
  v.clock_mhz = receiver_.clock_mhz;
  v.status_word = receiver_.status_word();
  v.signal.config = signal_;
  v.signal.frequency[0] = receiver_.frequency[0];
  v.signal.frequency[1] = receiver_.frequency[1];
  v.signal.gain[0] = receiver_.gain(0);
  v.signal.gain[1] = receiver_.gain(1);
  return v;
}

}  // namespace kmvsim
