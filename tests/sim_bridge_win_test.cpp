// Windows: the simulator's FTD3XX.DLL reached through the plug-in's loader, by ordinal only.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "kmvsim.h"
#include "platform/bridge.h"

namespace {

// The simulator's DLL, in the "sim" folder beside this program.
std::string sim_dll() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path, n);
  return dir.substr(0, dir.find_last_of("\\/") + 1) + "sim\\FTD3XX.dll";
}

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

TEST(SimBridgeWin, NoLibraryMeansNoDevice) {
  if (GetModuleHandleA("FTD3XX.DLL")) GTEST_SKIP() << "loaded by an earlier case";
  uint32_t count = 7;
  EXPECT_EQ(bridge::device_count(&count), bridge::kNotLoaded);
  EXPECT_EQ(count, 7u);
}

TEST(SimBridgeWin, OperationsByOrdinalAndControlsByName) {
  HMODULE lib = LoadLibraryA(sim_dll().c_str());
  ASSERT_NE(lib, nullptr) << sim_dll();
  EXPECT_EQ(GetProcAddress(lib, "KMVB_Open"), nullptr);  // no names for the vendor operations
  EXPECT_NE(GetProcAddress(lib, MAKEINTRESOURCEA(bridge::kOrdOpen)), nullptr);
  auto reset = reinterpret_cast<decltype(&KMVSIM_Reset)>(
      reinterpret_cast<void*>(GetProcAddress(lib, "KMVSIM_Reset")));
  auto set_serial = reinterpret_cast<decltype(&KMVSIM_SetSerial)>(
      reinterpret_cast<void*>(GetProcAddress(lib, "KMVSIM_SetSerial")));
  auto real_time = reinterpret_cast<decltype(&KMVSIM_SetRealTime)>(
      reinterpret_cast<void*>(GetProcAddress(lib, "KMVSIM_SetRealTime")));
  ASSERT_TRUE(reset && set_serial && real_time);
  reset();
  set_serial(9);
  real_time(0);

  // The loader takes the module already loaded under that name.
  uint32_t count = 0;
  ASSERT_EQ(bridge::device_count(&count), bridge::kOk);
  EXPECT_EQ(count, 1u);
  bridge::Handle h = nullptr;
  ASSERT_EQ(bridge::open_by_description(&h), bridge::kOk);
  EXPECT_EQ(bridge::pipe_timeout(h, bridge::kPipeIn, 1900), bridge::kOk);

  // Identify round trip through the __stdcall entry points.
  const uint8_t identify[8] = {1, 0, 0, 0, 0x12, 0, 0, 0};
  uint32_t n = 0;
  ASSERT_EQ(bridge::write_pipe(h, bridge::kPipeOut, identify, 8, &n, nullptr), bridge::kOk);
  EXPECT_EQ(n, 8u);
  static uint8_t block[4096];
  bool answered = false;
  for (int i = 0; i < 50 && !answered; ++i) {
    ASSERT_EQ(bridge::read_pipe(h, bridge::kPipeIn, block, sizeof block, &n, nullptr), bridge::kOk);
    answered = block[4088] == 0x12;
  }
  ASSERT_TRUE(answered);
  EXPECT_EQ(block[4089], 9);
  EXPECT_EQ(le32(block + 4092), 0x211u);

  // Overlapped reads and results.
  static uint8_t buffer[192 * 4096];
  bridge::Overlapped ov{};
  ASSERT_EQ(bridge::stream_on(h, bridge::kPipeIn, sizeof buffer), bridge::kOk);
  ASSERT_EQ(bridge::prepare_overlapped(h, &ov), bridge::kOk);
  EXPECT_EQ(bridge::read_pipe(h, bridge::kPipeIn, buffer, sizeof buffer, &n, &ov),
            bridge::kPending);
  EXPECT_EQ(bridge::transfer_result(h, &ov, &n, true), bridge::kOk);
  EXPECT_EQ(n, sizeof buffer);
  EXPECT_EQ(le32(buffer), 0u);  // numbering starts again with the stream
  EXPECT_EQ(le32(buffer + 191 * 4096), 191u);
  EXPECT_EQ(bridge::release_overlapped(h, &ov), bridge::kOk);
  EXPECT_EQ(bridge::stream_off(h, bridge::kPipeIn), bridge::kOk);
  EXPECT_EQ(bridge::close(h), bridge::kOk);
}

}  // namespace
