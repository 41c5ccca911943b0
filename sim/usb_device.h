// The simulated receiver as its USB FIFO bridge presents it: one device, opened by description,
// with pipe 0x02 taking commands and pipe 0x82 giving 4096-byte blocks. Blocks are made by a
// producer thread while a handle is open, paced in real time (or as fast as they are read), and
// go straight into the queued reads or, when none is queued, into a small FIFO; when that is
// full they are lost, as on the real link.
//
// Every member function may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kmvsim.h"
#include "receiver.h"
#include "samples.h"

namespace kmvsim {

// Bridge status values (the vendor library's numbering).
enum Status : uint32_t {
  kOk = 0,
  kInvalidHandle = 1,
  kDeviceNotFound = 2,
  kDeviceNotOpened = 3,
  kInvalidParameter = 6,
  kTimeout = 19,
  kAborted = 20,
  kIoPending = 24,
  kIoIncomplete = 25,
  kDeviceNotConnected = 30,
};

constexpr uint8_t kPipeOut = 0x02;
constexpr uint8_t kPipeIn = 0x82;
constexpr uint32_t kBlockBytes = 4096;
constexpr const char* kDescription = "FTDI SuperSpeed-FIFO Bridge";
constexpr uint32_t kOpenByDescription = 2;

class UsbDevice {
 public:
  static constexpr uint32_t kDefaultPipeTimeoutMs = 5000;
  static constexpr uint32_t kFifoBlocks = 4;      // the bridge chip's FIFO: 16 KiB
  static constexpr uint32_t kRecordSpacing = 26;  // blocks between new reply records: at most
                                                  // 10 in any 256-block transfer
  static constexpr int kStatusIntervalMs = 1000;

  UsbDevice();
  ~UsbDevice();
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  // Bridge operations. `ov` points to the caller's overlapped record storage (64 bytes).
  uint32_t device_count(uint32_t* count);
  uint32_t open(const void* arg, uint32_t flags, void** handle);
  uint32_t close(void* handle);
  uint32_t device_setting(void* handle, uint32_t value);
  uint32_t pipe_timeout(void* handle, uint8_t pipe, uint32_t ms);
  uint32_t read_pipe(void* handle, uint8_t pipe, uint8_t* buffer, uint32_t length,
                     uint32_t* transferred, void* ov);
  uint32_t write_pipe(void* handle, uint8_t pipe, const uint8_t* buffer, uint32_t length,
                      uint32_t* transferred, void* ov);
  uint32_t result(void* handle, void* ov, uint32_t* transferred, int32_t wait);
  uint32_t prepare_overlapped(void* handle, void* ov);
  uint32_t release_overlapped(void* handle, void* ov);
  uint32_t stream_on(void* handle, uint8_t pipe, uint32_t transfer_size);
  uint32_t stream_off(void* handle, uint8_t pipe);
  uint32_t abort_pipe(void* handle, uint8_t pipe);
  uint32_t device_abort(void* handle);

  // Control (see kmvsim.h).
  void reset();
  void state(KMVSIM_State& out);
  void set_serial(uint32_t serial);
  void set_version(uint32_t version);
  void set_status(int32_t temperature, int32_t gps, bool overload1, bool overload2);
  void set_real_time(bool on);
  void set_pattern(bool on);
  void clear_tones();
  bool add_tone(int channel, const Tone& tone);
  void set_noise(int channel, double level_dbfs);
  void withhold_replies(uint8_t code, bool withhold);
  void reject_address(bool reject);
  uint32_t received_count();
  uint32_t received(uint32_t index, uint8_t* bytes, uint32_t capacity, uint32_t* sequence);
  void clear_received();
  uint32_t firmware_image(uint8_t* bytes, uint32_t capacity);
  void set_present(bool present);
  void set_silent(bool silent);
  void skip_blocks(uint32_t count);
  void short_transfers(uint32_t transfers, uint32_t blocks);
  void fail_reads(uint32_t count, uint32_t status);
  void fail_results(uint32_t count, uint32_t status);
  void fail_writes(uint32_t count, uint32_t status);
  void hold_writes(uint32_t writes, uint32_t polls, uint32_t status);
  void bad_trailers(uint32_t blocks);
  void garble_identify(uint32_t answers);
  void stall_reads(bool on);

  // ---- firmware memory (usb_firmware.cpp) ----
  void firmware_clear_delay(uint32_t ms);
  void firmware_fault(uint32_t kind, uint32_t answer);
  void firmware_state(KMVSIM_FirmwareState& out);
  // A delayed firmware answer that is due now. The USB stream sends them by itself; a link that
  // carries its own replies (the LAN side) takes them here.
  bool take_firmware_reply(ReplyRecord& out);

  // ---- the same receiver reached over the LAN ----
  // What the LAN stream's samples and status depend on, read under one lock. The signal's format
  // and rate are the LAN side's to fill in.
  struct LinkView {
    uint8_t lan_format = Receiver::kDefaultFormat;
    uint32_t clock_mhz = Receiver::kDefaultClockMHz;
    uint32_t status_word = 0;
    SignalParams signal;
  };
  // A message that reached the receiver over the LAN: logged and, unless `log_only`, applied and
  // answered. The replies are the LAN side's to send; changed settings reach the USB stream too.
  Receiver::Outcome link_message(const uint8_t* message, size_t length, bool log_only);
  LinkView link_view();

 private:
  struct Transfer;
  struct Session;
  using Lock = std::unique_lock<std::mutex>;

  std::shared_ptr<Session> find(void* handle);
  Transfer* record(Session& s, void* ov);
  uint32_t check(void* handle, std::shared_ptr<Session>& s);
  uint32_t queue_read(Session& s, Transfer& t, uint8_t* buffer, uint32_t length);
  void complete(Transfer& t, uint32_t status);
  void end_reads(uint32_t status);
  void end_writes(Session& s, uint32_t status);
  // A message on pipe 0x02 reaches the receiver.
  void receive(const uint8_t* buffer, uint32_t length);
  void pop_head(int64_t now);
  bool place(const uint8_t* payload, uint32_t sequence, int64_t now);
  uint32_t room() const;
  void restart_stream(int64_t now);
  void queue_record(const ReplyRecord& r, bool urgent);
  void queue_status();
  // Delayed firmware answers that are due go into the trailer queue; `deadline` is pulled in to
  // the next one.
  void queue_firmware_replies(int64_t now, int64_t& deadline);
  SignalParams signal_params() const;
  int64_t block_ns(const StreamFormat& f) const;
  void start_producer(Lock& lock);
  void stop_producer(Lock& lock);
  void produce(uint64_t generation);

  std::mutex mutex_;
  std::condition_variable done_;  // a transfer completed or a session ended
  std::condition_variable wake_;  // the producer has something new to look at

  Receiver receiver_;
  SignalConfig signal_ = SignalConfig::defaults();
  bool present_ = true;
  bool silent_ = false;
  bool paused_ = false;  // USB stop message received
  bool real_time_ = true;
  uint32_t next_session_ = 1;
  std::map<uint32_t, std::shared_ptr<Session>> sessions_;  // open handles, live or dead
  std::shared_ptr<Session> live_;                          // the one usable session
  std::deque<Transfer*> reads_;                            // pending reads on pipe 0x82
  uint32_t read_timeout_ms_ = kDefaultPipeTimeoutMs;

  // Block stream.
  uint32_t sequence_ = 0;
  uint64_t epoch_ = 0;  // advances at every stream start: blocks made before are discarded
  bool restart_generator_ = false;
  bool rebase_ = true;  // real-time pacing restarts from now
  std::vector<uint8_t> fifo_;
  uint32_t fifo_head_ = 0, fifo_count_ = 0;

  // Trailer.
  uint32_t tag_ = 0;
  ReplyRecord current_;
  std::deque<ReplyRecord> records_;
  bool urgent_front_ = false;  // records_.front() may skip the spacing
  uint32_t since_record_ = kRecordSpacing;
  bool status_dirty_ = true;
  int64_t next_status_ns_ = 0;

  // Faults.
  uint32_t skip_ = 0;
  uint32_t short_transfers_ = 0, short_blocks_ = 0;
  uint32_t fail_reads_ = 0, fail_reads_status_ = 0;
  uint32_t fail_results_ = 0, fail_results_status_ = 0;
  uint32_t fail_writes_ = 0, fail_writes_status_ = 0;
  uint32_t hold_writes_ = 0, hold_polls_ = 0, hold_status_ = kIoPending;
  uint32_t bad_trailers_ = 0, garble_identify_ = 0;
  bool stalled_ = false;                                // no blocks, and reads never time out
  static constexpr uint32_t kGarbageSeed = 0x1234567u;  // the same garbage in every run
  uint32_t garbage_ = kGarbageSeed;

  // Counters.
  uint64_t blocks_sent_ = 0, blocks_dropped_ = 0, records_sent_ = 0, commands_ = 0;
  uint32_t timeouts_ = 0;

  // Producer thread: runs while any handle is open.
  std::thread producer_;
  uint64_t producer_generation_ = 0;
};

}  // namespace kmvsim
