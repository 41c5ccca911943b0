// Shared between the bridge operations and the two library backends.
#pragma once

#include "platform/bridge.h"

namespace bridge::detail {

// Every operation of the vendor library; a table is only published when all of them were found.
struct Table {
  FnDeviceCount device_count = nullptr;
  FnOpen open = nullptr;
  FnClose close = nullptr;
  FnDeviceSetting device_setting = nullptr;
  FnPipeTimeout pipe_timeout = nullptr;
  FnPipeTransfer read_pipe = nullptr;
  FnPipeTransfer requeue_read = nullptr;
  FnPipeTransfer write_pipe = nullptr;
  FnResult result = nullptr;
  FnOverlapped prepare_overlapped = nullptr;
  FnOverlapped release_overlapped = nullptr;
  FnStreamOn stream_on = nullptr;
  FnStreamOff stream_off = nullptr;
  FnAbortPipe abort_pipe = nullptr;
  FnDeviceAbort device_abort = nullptr;
};

// Backend: load the library and fill the whole table. False (and nothing kept loaded) when the
// library or any operation is missing. Called under the loader's lock.
bool load_library(Table& table);
// Backend: run close(h) where the caller does not wait for it (see close_detached).
void close_on_own_thread(FnClose close, Handle h);
// Backend: let the library go. Called under the loader's lock.
void unload_library();

}  // namespace bridge::detail
