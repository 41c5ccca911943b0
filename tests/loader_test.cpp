// The built plug-in through the real dynamic loader, the way a host uses it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>

#include "plugin/ExtIO_KMV410B211.h"

namespace {

std::atomic<int> g_notifications{0};
void host_callback(int32_t count, int32_t, float, void*) {
  if (count == -1) ++g_notifications;
}

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto dir = std::filesystem::temp_directory_path() / ("kmv-loader-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    lib_ = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (lib_) dlclose(lib_);
  }
  template <class F>
  F sym(const char* name) {
    return reinterpret_cast<F>(dlsym(lib_, name));
  }
  void* lib_ = nullptr;
};

TEST_F(LoaderTest, ExportsExactlyTheInterfaceNames) {
  for (const char* name : kExtIONames) EXPECT_NE(dlsym(lib_, name), nullptr) << name;
  for (const char* name : kExtIOExtensionNames) EXPECT_NE(dlsym(lib_, name), nullptr) << name;
  // Nothing of the plug-in's own leaks into the host's namespace.
  EXPECT_EQ(dlsym(lib_, "_ZN6plugin8g_pluginE"), nullptr);
  EXPECT_EQ(dlsym(lib_, "F_RDR1"), nullptr);
}

TEST_F(LoaderTest, HostSequenceOpenStartStopCloseAndUnload) {
  auto init = sym<decltype(&InitHW)>("InitHW");
  auto get_att = sym<decltype(&GetAttenuators)>("GetAttenuators");
  auto get_sr = sym<decltype(&GetHWSR)>("GetHWSR");
  auto set_cb = sym<decltype(&SetCallback)>("SetCallback");
  auto open = sym<decltype(&OpenHW)>("OpenHW");
  auto start = sym<decltype(&StartHW)>("StartHW");
  auto set_lo = sym<decltype(&SetHWLO)>("SetHWLO");
  auto get_lo = sym<decltype(&GetHWLO)>("GetHWLO");
  auto stop = sym<decltype(&StopHW)>("StopHW");
  auto close = sym<decltype(&CloseHW)>("CloseHW");

  char name[16], model[16];
  int32_t type = 0;
  ASSERT_TRUE(init(name, model, &type));
  EXPECT_STREQ(name, "KMV410");
  EXPECT_EQ(type, 5);
  float att = 0;
  EXPECT_EQ(get_att(35, &att), 0);
  EXPECT_EQ(att, -28.0f);
  EXPECT_EQ(get_sr(), 7812500);

  set_cb(host_callback);
  ASSERT_TRUE(open());
  EXPECT_EQ(set_lo(14000000), 0);
  EXPECT_EQ(get_lo(), 14000000);
  start(14000000);  // no receiver: whatever the stream boxes say, it must not hang or crash
  stop();
  close();
  // Unloading with the plug-in closed stops its user-interface thread cleanly.
  EXPECT_EQ(dlclose(lib_), 0);
  lib_ = nullptr;
}

TEST_F(LoaderTest, UnloadWhileOpenClosesThePlugIn) {
  auto open = sym<decltype(&OpenHW)>("OpenHW");
  ASSERT_TRUE(open());
  EXPECT_EQ(dlclose(lib_), 0);
  // Loading it again gives a plug-in that opens and closes normally.
  lib_ = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib_, nullptr) << dlerror();
  open = sym<decltype(&OpenHW)>("OpenHW");
  ASSERT_TRUE(open());
  sym<decltype(&CloseHW)>("CloseHW")();
}

}  // namespace
