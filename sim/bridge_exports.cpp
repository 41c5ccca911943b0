// The simulator's bridge library: the vendor library's operations (by name on POSIX, by ordinal
// on Windows) and the KMVSIM_* control functions, all on one process-wide simulated receiver.
#include <new>
#include <type_traits>

#include "kmvsim.h"
#include "platform/bridge.h"
#include "usb_device.h"

#if defined(_WIN32)
#include <windows.h>
#define KMV_EXPORT  // exported through FTD3XX.def
#else
#define KMV_EXPORT __attribute__((visibility("default")))
#endif

namespace kmvsim {

// Never destroyed: a static destructor would join the producer thread at unload, which on
// Windows happens under the loader lock. The producer only runs while a handle is open, and the
// library is pinned in memory once a handle was opened (see pin_library). The LAN side
// (lan_exports.cpp) serves the same receiver.
UsbDevice& bridge_device() {
  static UsbDevice* d = new UsbDevice;
  return *d;
}

}  // namespace kmvsim

namespace {

kmvsim::UsbDevice& device() {
  return kmvsim::bridge_device();
}

void pin_library() {
#if defined(_WIN32)
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCSTR>(&pin_library), &self);
#endif  // POSIX: linked with -z nodelete
}

constexpr uint32_t kNoResources = 5;

// No exception leaves the library.
template <typename F>
uint32_t guarded(F&& f) {
  try {
    return f();
  } catch (...) {
    return kNoResources;
  }
}

template <typename F>
void guarded_void(F&& f) {
  try {
    f();
  } catch (...) {
  }
}

}  // namespace

extern "C" {

// ---- bridge operations ---------------------------------------------------------------------

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_DeviceCount(uint32_t* count) {
  return guarded([&] { return device().device_count(count); });
}

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_Open(const void* arg, uint32_t flags,
                                                bridge::Handle* handle) {
  return guarded([&] {
    pin_library();
    return device().open(arg, flags, handle);
  });
}

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_Close(bridge::Handle h) {
  return guarded([&] { return device().close(h); });
}

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_DeviceSetting(bridge::Handle h, uint32_t value) {
  return guarded([&] { return device().device_setting(h, value); });
}

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_PipeTimeout(bridge::Handle h, uint8_t pipe,
                                                       uint32_t ms) {
  return guarded([&] { return device().pipe_timeout(h, pipe, ms); });
}

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_ReadPipe(bridge::Handle h, uint8_t pipe, uint8_t* buffer,
                                                    uint32_t length, uint32_t* transferred,
                                                    bridge::Overlapped* ov) {
  return guarded([&] { return device().read_pipe(h, pipe, buffer, length, transferred, ov); });
}

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_RequeueRead(bridge::Handle h, uint8_t pipe,
                                                       uint8_t* buffer, uint32_t length,
                                                       uint32_t* transferred,
                                                       bridge::Overlapped* ov) {
  return guarded([&] { return device().read_pipe(h, pipe, buffer, length, transferred, ov); });
}

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_WritePipe(bridge::Handle h, uint8_t pipe,
                                                     uint8_t* buffer, uint32_t length,
                                                     uint32_t* transferred,
                                                     bridge::Overlapped* ov) {
  return guarded([&] { return device().write_pipe(h, pipe, buffer, length, transferred, ov); });
}

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_Result(bridge::Handle h, bridge::Overlapped* ov,
                                                  uint32_t* transferred, int32_t wait) {
  return guarded([&] { return device().result(h, ov, transferred, wait); });
}

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_PrepareOverlapped(bridge::Handle h,
                                                             bridge::Overlapped* ov) {
  return guarded([&] { return device().prepare_overlapped(h, ov); });
}

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_ReleaseOverlapped(bridge::Handle h,
                                                             bridge::Overlapped* ov) {
  return guarded([&] { return device().release_overlapped(h, ov); });
}

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_StreamOn(bridge::Handle h, int32_t, int32_t,
                                                    uint8_t pipe, uint32_t size) {
  return guarded([&] { return device().stream_on(h, pipe, size); });
}

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_StreamOff(bridge::Handle h, int32_t, int32_t,
                                                     uint8_t pipe) {
  return guarded([&] { return device().stream_off(h, pipe); });
}

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_AbortPipe(bridge::Handle h, uint8_t pipe) {
  return guarded([&] { return device().abort_pipe(h, pipe); });
}

KMV_EXPORT bridge::Status BRIDGE_CALL KMVB_DeviceAbort(bridge::Handle h) {
  return guarded([&] { return device().device_abort(h); });
}

// ---- control -------------------------------------------------------------------------------

KMV_EXPORT void KMVSIM_CALL KMVSIM_Reset(void) {
  guarded_void([] { device().reset(); });
}

KMV_EXPORT int KMVSIM_CALL KMVSIM_GetState(KMVSIM_State* state) {
  if (!state || state->size < sizeof(KMVSIM_State)) return 0;
  return guarded([&] {
           device().state(*state);
           return 1u;
         }) == 1u;
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_SetSerial(uint32_t serial) {
  guarded_void([&] { device().set_serial(serial); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_SetFirmwareVersion(uint32_t version) {
  guarded_void([&] { device().set_version(version); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_SetStatus(int32_t temperature, int32_t gps, int32_t overload1,
                                             int32_t overload2) {
  guarded_void([&] { device().set_status(temperature, gps, overload1 != 0, overload2 != 0); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_SetRealTime(int32_t on) {
  guarded_void([&] { device().set_real_time(on != 0); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_SetTestPattern(int32_t on) {
  guarded_void([&] { device().set_pattern(on != 0); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_ClearTones(void) {
  guarded_void([] { device().clear_tones(); });
}

KMV_EXPORT int32_t KMVSIM_CALL KMVSIM_AddTone(int32_t channel, double frequency_hz,
                                              double level_dbfs, int32_t relative) {
  return int32_t(
      guarded([&] {
        return uint32_t(device().add_tone(channel, {frequency_hz, level_dbfs, relative != 0}));
      }) == 1u);
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_SetNoise(int32_t channel, double level_dbfs) {
  guarded_void([&] { device().set_noise(channel, level_dbfs); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_WithholdReplies(uint32_t code, int32_t withhold) {
  guarded_void([&] { device().withhold_replies(uint8_t(code), withhold != 0); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_RejectAddress(int32_t reject) {
  guarded_void([&] { device().reject_address(reject != 0); });
}

KMV_EXPORT uint32_t KMVSIM_CALL KMVSIM_ReceivedCount(void) {
  return guarded([] { return device().received_count(); });
}

KMV_EXPORT uint32_t KMVSIM_CALL KMVSIM_Received(uint32_t index, uint8_t* bytes, uint32_t capacity,
                                                uint32_t* sequence) {
  return guarded([&] { return device().received(index, bytes, capacity, sequence); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_ClearReceived(void) {
  guarded_void([] { device().clear_received(); });
}

KMV_EXPORT uint32_t KMVSIM_CALL KMVSIM_FirmwareImage(uint8_t* bytes, uint32_t capacity) {
  return guarded([&] { return device().firmware_image(bytes, capacity); });
}

KMV_EXPORT int KMVSIM_CALL KMVSIM_FirmwareGetState(KMVSIM_FirmwareState* state) {
  if (!state || state->size < sizeof(KMVSIM_FirmwareState)) return 0;
  return guarded([&] {
           device().firmware_state(*state);
           return 1u;
         }) == 1u;
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_FirmwareClearDelay(uint32_t ms) {
  guarded_void([&] { device().firmware_clear_delay(ms); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_FirmwareFault(uint32_t kind, uint32_t answer) {
  guarded_void([&] { device().firmware_fault(kind, answer); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_SetPresent(int32_t present) {
  guarded_void([&] { device().set_present(present != 0); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_SetSilent(int32_t silent) {
  guarded_void([&] { device().set_silent(silent != 0); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_SkipBlocks(uint32_t count) {
  guarded_void([&] { device().skip_blocks(count); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_ShortTransfers(uint32_t transfers, uint32_t blocks) {
  guarded_void([&] { device().short_transfers(transfers, blocks); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_FailReads(uint32_t count, uint32_t status) {
  guarded_void([&] { device().fail_reads(count, status); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_FailResults(uint32_t count, uint32_t status) {
  guarded_void([&] { device().fail_results(count, status); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_FailWrites(uint32_t count, uint32_t status) {
  guarded_void([&] { device().fail_writes(count, status); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_HoldWrites(uint32_t writes, uint32_t polls, uint32_t status) {
  guarded_void([&] { device().hold_writes(writes, polls, status); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_BadTrailers(uint32_t blocks) {
  guarded_void([&] { device().bad_trailers(blocks); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_StallReads(int32_t on) {
  guarded_void([&] { device().stall_reads(on != 0); });
}

KMV_EXPORT void KMVSIM_CALL KMVSIM_GarbleIdentify(uint32_t answers) {
  guarded_void([&] { device().garble_identify(answers); });
}

}  // extern "C"

// The exports must match what the plug-in's loader casts them to.
static_assert(std::is_same_v<decltype(&KMVB_DeviceCount), bridge::FnDeviceCount>);
static_assert(std::is_same_v<decltype(&KMVB_Open), bridge::FnOpen>);
static_assert(std::is_same_v<decltype(&KMVB_Close), bridge::FnClose>);
static_assert(std::is_same_v<decltype(&KMVB_DeviceSetting), bridge::FnDeviceSetting>);
static_assert(std::is_same_v<decltype(&KMVB_PipeTimeout), bridge::FnPipeTimeout>);
static_assert(std::is_same_v<decltype(&KMVB_ReadPipe), bridge::FnPipeTransfer>);
static_assert(std::is_same_v<decltype(&KMVB_RequeueRead), bridge::FnPipeTransfer>);
static_assert(std::is_same_v<decltype(&KMVB_WritePipe), bridge::FnPipeTransfer>);
static_assert(std::is_same_v<decltype(&KMVB_Result), bridge::FnResult>);
static_assert(std::is_same_v<decltype(&KMVB_PrepareOverlapped), bridge::FnOverlapped>);
static_assert(std::is_same_v<decltype(&KMVB_ReleaseOverlapped), bridge::FnOverlapped>);
static_assert(std::is_same_v<decltype(&KMVB_StreamOn), bridge::FnStreamOn>);
static_assert(std::is_same_v<decltype(&KMVB_StreamOff), bridge::FnStreamOff>);
static_assert(std::is_same_v<decltype(&KMVB_AbortPipe), bridge::FnAbortPipe>);
static_assert(std::is_same_v<decltype(&KMVB_DeviceAbort), bridge::FnDeviceAbort>);
static_assert(sizeof(bridge::Overlapped) >= 12, "the record tag must fit");
