// Run-time loader of the USB FIFO bridge vendor library.
//
// The plug-in never links the vendor library: it is loaded on first use by a fixed name
// (Windows: FTD3XX.DLL, imported by ordinal; POSIX: kBridgeLibraryName with the symbol names
// below). A missing library or symbol makes device_count() fail, which callers take as
// "no USB device". Every call returns a bridge status: 0 success, kPending a queued transfer.
//
// Where the library is looked for, in this order:
//  1. a library of that name the process already holds: on POSIX a bare-name dlopen matches an
//     already-loaded library by its SONAME, so a host or test that first loads the simulator's
//     bridge library by full path (RTLD_GLOBAL) makes the plug-in use that very copy; on Windows
//     a module already loaded as FTD3XX.DLL;
//  2. the directory of the module holding this code (the plug-in itself);
//  3. the platform's normal search (LD_LIBRARY_PATH and the system paths; on Windows the
//     program's directory, the system directories and PATH).
// A failed load is retried at the next call; loads are serialised, calls after a load are not.
#pragma once

#include <cstdint>

namespace bridge {

using Status = uint32_t;
using Handle = void*;

constexpr Status kOk = 0;
constexpr Status kPending = 24;            // overlapped transfer still running
constexpr Status kNotLoaded = 0x7FFF0001;  // our own: library or symbol missing

constexpr uint8_t kPipeOut = 0x02;  // commands to the receiver
constexpr uint8_t kPipeIn = 0x82;   // blocks from the receiver
constexpr uint32_t kOpenByDescription = 2;
constexpr const char* kDeviceDescription = "FTDI SuperSpeed-FIFO Bridge";

// Storage for one overlapped transfer record. Big enough for the Windows OVERLAPPED structure
// on both word sizes; the bridge library owns its contents between prepare and release.
struct alignas(8) Overlapped {
  unsigned char opaque[64];
};

#if defined(_WIN32)
#define BRIDGE_CALL __stdcall
#else
#define BRIDGE_CALL
#define kBridgeLibraryName "libKMV410Bridge.so"
#endif

// The vendor library's operations as the plug-in calls them, with the ordinal of each.
// POSIX symbol names are "KMVB_" + the name in the comment.
using FnDeviceCount = Status(BRIDGE_CALL*)(uint32_t* count);  // 70 DeviceCount
using FnOpen = Status(BRIDGE_CALL*)(const void* arg, uint32_t flags, Handle* handle);  // 93 Open
using FnClose = Status(BRIDGE_CALL*)(Handle);                                          // 2 Close
using FnDeviceSetting = Status(BRIDGE_CALL*)(Handle, uint32_t value);           // 125 DeviceSetting
using FnPipeTimeout = Status(BRIDGE_CALL*)(Handle, uint8_t pipe, uint32_t ms);  // 123 PipeTimeout
using FnPipeTransfer = Status(BRIDGE_CALL*)(Handle, uint8_t pipe, uint8_t* buffer, uint32_t length,
                                            uint32_t* transferred, Overlapped* ov);
// 96 ReadPipe, 133 RequeueRead, 95 WritePipe use FnPipeTransfer
using FnResult = Status(BRIDGE_CALL*)(Handle, Overlapped* ov, uint32_t* transferred,
                                      int32_t wait);                // 97 Result
using FnOverlapped = Status(BRIDGE_CALL*)(Handle, Overlapped* ov);  // 116 / 117
using FnStreamOn = Status(BRIDGE_CALL*)(Handle, int32_t all_write, int32_t all_read, uint8_t pipe,
                                        uint32_t size);  // 98 StreamOn
using FnStreamOff = Status(BRIDGE_CALL*)(Handle, int32_t all_write, int32_t all_read,
                                         uint8_t pipe);          // 99 StreamOff
using FnAbortPipe = Status(BRIDGE_CALL*)(Handle, uint8_t pipe);  // 101 AbortPipe
using FnDeviceAbort = Status(BRIDGE_CALL*)(Handle);              // 120 DeviceAbort

// Ordinals of the Windows library.
enum Ordinal : uint16_t {
  kOrdClose = 2,
  kOrdDeviceCount = 70,
  kOrdOpen = 93,
  kOrdWritePipe = 95,
  kOrdReadPipe = 96,
  kOrdResult = 97,
  kOrdStreamOn = 98,
  kOrdStreamOff = 99,
  kOrdAbortPipe = 101,
  kOrdPrepareOverlapped = 116,
  kOrdReleaseOverlapped = 117,
  kOrdDeviceAbort = 120,
  kOrdPipeTimeout = 123,
  kOrdDeviceSetting = 125,
  kOrdRequeueRead = 133,
};

// The operations. Each loads the library on first use and returns kNotLoaded when the library
// or the operation is missing (without touching the out parameters).
Status device_count(uint32_t* count);
Status open_by_description(Handle* handle);
Status close(Handle h);
// Close without waiting for the close, for the library's unload under the Windows loader lock:
// the vendor library may wait there for threads of its own that cannot end while the lock is
// held. On Windows the close runs on a thread that starts in the vendor library itself (none of
// our code, which is about to go); elsewhere it is a plain close.
void close_detached(Handle h);
Status device_setting(Handle h, uint32_t value);
Status pipe_timeout(Handle h, uint8_t pipe, uint32_t ms);
Status read_pipe(Handle h, uint8_t pipe, uint8_t* buffer, uint32_t length, uint32_t* transferred,
                 Overlapped* ov);
Status requeue_read(Handle h, uint8_t pipe, uint8_t* buffer, uint32_t length, uint32_t* transferred,
                    Overlapped* ov);
Status write_pipe(Handle h, uint8_t pipe, const uint8_t* buffer, uint32_t length,
                  uint32_t* transferred, Overlapped* ov);
Status transfer_result(Handle h, Overlapped* ov, uint32_t* transferred, bool wait);
Status prepare_overlapped(Handle h, Overlapped* ov);
Status release_overlapped(Handle h, Overlapped* ov);
Status stream_on(Handle h, uint8_t pipe, uint32_t transfer_size);
Status stream_off(Handle h, uint8_t pipe);
Status abort_pipe(Handle h, uint8_t pipe);
Status device_abort(Handle h);

// True when the library and all its operations were found (loads it if needed).
bool loaded();
// Forget the loaded library (process detach, tests). Not safe while calls are in flight.
void unload();

}  // namespace bridge
