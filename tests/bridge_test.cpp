// The bridge loader against the real dynamic loader. Each case runs in a child process of its
// own, because what one case loads stays loaded for the rest of a process.
#include "platform/bridge.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

// Failures inside a child process, written where the parent's report shows them.
struct FailuresToStderr : ::testing::EmptyTestEventListener {
  void OnTestPartResult(const ::testing::TestPartResult& r) override {
    if (r.failed())
      std::fprintf(stderr, "%s:%d: %s\n", r.file_name(), r.line_number(), r.message());
  }
};

// Runs body in a fresh child process; the case fails when any expectation there failed.
void isolated(const std::function<void()>& body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::testing::UnitTest::GetInstance()->listeners().Append(new FailuresToStderr);
        body();
        std::fflush(nullptr);
        std::_Exit(::testing::Test::HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

void expect_every_operation_refused() {
  constexpr uint32_t kUntouched = 0xA5A5A5A5u;
  uint32_t count = kUntouched;
  EXPECT_EQ(bridge::device_count(&count), bridge::kNotLoaded);
  EXPECT_EQ(count, kUntouched);
  bridge::Handle h = reinterpret_cast<bridge::Handle>(0x1234);
  EXPECT_EQ(bridge::open_by_description(&h), bridge::kNotLoaded);
  EXPECT_EQ(h, reinterpret_cast<bridge::Handle>(0x1234));
  uint8_t buffer[4096];
  uint32_t n = kUntouched;
  bridge::Overlapped ov{};
  EXPECT_EQ(bridge::close(h), bridge::kNotLoaded);
  EXPECT_EQ(bridge::device_setting(h, 0), bridge::kNotLoaded);
  EXPECT_EQ(bridge::pipe_timeout(h, bridge::kPipeIn, 1900), bridge::kNotLoaded);
  EXPECT_EQ(bridge::read_pipe(h, bridge::kPipeIn, buffer, 4096, &n, nullptr), bridge::kNotLoaded);
  EXPECT_EQ(bridge::requeue_read(h, bridge::kPipeIn, buffer, 4096, &n, &ov), bridge::kNotLoaded);
  EXPECT_EQ(bridge::write_pipe(h, bridge::kPipeOut, buffer, 8, &n, &ov), bridge::kNotLoaded);
  EXPECT_EQ(bridge::transfer_result(h, &ov, &n, true), bridge::kNotLoaded);
  EXPECT_EQ(n, kUntouched);
  EXPECT_EQ(bridge::prepare_overlapped(h, &ov), bridge::kNotLoaded);
  EXPECT_EQ(bridge::release_overlapped(h, &ov), bridge::kNotLoaded);
  EXPECT_EQ(bridge::stream_on(h, bridge::kPipeIn, 786432), bridge::kNotLoaded);
  EXPECT_EQ(bridge::stream_off(h, bridge::kPipeIn), bridge::kNotLoaded);
  EXPECT_EQ(bridge::abort_pipe(h, bridge::kPipeIn), bridge::kNotLoaded);
  EXPECT_EQ(bridge::device_abort(h), bridge::kNotLoaded);
  EXPECT_FALSE(bridge::loaded());
}

TEST(BridgeLoader, MissingLibraryMeansNoDevice) {
  isolated([] {
    ASSERT_EQ(dlopen(kBridgeLibraryName, RTLD_NOW | RTLD_NOLOAD), nullptr)
        << "a bridge library is reachable from the test's folder or LD_LIBRARY_PATH";
    expect_every_operation_refused();
  });
}

TEST(BridgeLoader, LibraryMissingAnOperationIsRefusedWhole) {
  isolated([] {
    void* partial = dlopen(KMV_PARTIAL_BRIDGE, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(partial, nullptr) << dlerror();
    // The library's own device count works; through the loader it must not.
    using Fn = uint32_t (*)(uint32_t*);
    uint32_t direct = 0;
    ASSERT_EQ(reinterpret_cast<Fn>(dlsym(partial, "KMVB_DeviceCount"))(&direct), 0u);
    EXPECT_EQ(direct, 1u);
    expect_every_operation_refused();
  });
}

TEST(BridgeLoader, LibraryLoadedByTheHostIsFoundByItsName) {
  isolated([] {
    ASSERT_NE(dlopen(KMV_SIM_BRIDGE, RTLD_NOW | RTLD_GLOBAL), nullptr) << dlerror();
    uint32_t count = 0;
    ASSERT_EQ(bridge::device_count(&count), bridge::kOk);
    EXPECT_EQ(count, 1u);
    EXPECT_TRUE(bridge::loaded());
    bridge::Handle h = nullptr;
    ASSERT_EQ(bridge::open_by_description(&h), bridge::kOk);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(bridge::close(h), bridge::kOk);
    // Forgotten and found again.
    bridge::unload();
    count = 0;
    EXPECT_EQ(bridge::device_count(&count), bridge::kOk);
    EXPECT_EQ(count, 1u);
  });
}

TEST(BridgeLoader, LibraryBesideThePlugInIsFound) {
  isolated([] {
    void* probe = dlopen(KMV_LOADER_PROBE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(probe, nullptr) << dlerror();
    auto count_fn = reinterpret_cast<uint32_t (*)(uint32_t*)>(dlsym(probe, "probe_device_count"));
    ASSERT_NE(count_fn, nullptr);
    uint32_t count = 0;
    ASSERT_EQ(count_fn(&count), bridge::kOk);
    EXPECT_EQ(count, 1u);
    // The copy beside the probe, not the one in the build's simulator folder.
    EXPECT_NE(dlopen(KMV_PROBE_DIR "/" kBridgeLibraryName, RTLD_NOW | RTLD_NOLOAD), nullptr);
    EXPECT_EQ(dlopen(KMV_SIM_BRIDGE, RTLD_NOW | RTLD_NOLOAD), nullptr);
    // Once loaded, it is the copy every other loader in the process takes by name.
    count = 0;
    EXPECT_EQ(bridge::device_count(&count), bridge::kOk);
    EXPECT_EQ(count, 1u);
  });
}

}  // namespace
