// Firmware update end to end: the update window's handlers run a transfer over USB into the
// simulated receiver, whose firmware memory answers, fails on demand and keeps the image.
//
// The test links the simulator's bridge library, so the plug-in's loader finds it by name.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "control/Form1.h"
#include "kmvsim.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/ExtIO_KMV410B211.h"
#include "plugin/plugin_state.h"
#include "update/Update1.h"
#include "update/file_lists.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace {

namespace fs = std::filesystem;
using plugin::g_plugin;

void on_ui(const std::function<void()>& fn) {
  ui::run_on_ui(fn);
}

bool eventually(const std::function<bool()>& cond, int ms = 5000) {
  long long end = tasks::now_ms() + ms;
  while (tasks::now_ms() < end) {
    if (cond()) return true;
    tasks::sleep_ms(5);
  }
  return cond();
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(size);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

// A message the receiver got, without its sequence header.
std::vector<uint8_t> received(uint32_t index) {
  std::vector<uint8_t> m(300);
  uint32_t n = KMVSIM_Received(index, m.data(), static_cast<uint32_t>(m.size()), nullptr);
  m.resize(std::min<size_t>(n, m.size()));
  return m;
}

std::vector<std::vector<uint8_t>> received_with_code(uint8_t code) {
  std::vector<std::vector<uint8_t>> out;
  uint32_t count = KMVSIM_ReceivedCount();
  for (uint32_t i = 0; i < count; ++i) {
    auto m = received(i);
    if (!m.empty() && m[0] == code) out.push_back(m);
  }
  return out;
}

KMVSIM_FirmwareState firmware_state() {
  KMVSIM_FirmwareState s{};
  s.size = sizeof s;
  KMVSIM_FirmwareGetState(&s);
  return s;
}

std::vector<uint8_t> image() {
  std::vector<uint8_t> v(KMVSIM_FirmwareImage(nullptr, 0));
  KMVSIM_FirmwareImage(v.data(), static_cast<uint32_t>(v.size()));
  return v;
}

struct Texts {
  std::string send, bytes;
  int progress = 0;
  bool start_enabled = false, close_enabled = false;
};

Texts texts() {
  Texts t;
  on_ui([&] {
    t.send = F_Update->L_Send->caption;
    t.bytes = F_Update->L_Bytes->caption;
    t.progress = F_Update->PB_Sent->position();
    t.start_enabled = F_Update->B_Start->enabled;
    t.close_enabled = F_Update->B_Close->enabled;
  });
  return t;
}

class UpdateTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("kmv-update-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void SetUp() override {
    KMVSIM_Reset();
    KMVSIM_SetPresent(1);
    KMVSIM_SetRealTime(0);
    ASSERT_TRUE(OpenHW());
    bool up = false;
    on_ui([&] { up = F_RDR1->CB_USB->checked(); });
    ASSERT_TRUE(up);
    ASSERT_TRUE(eventually([] { return usb::queue_length(usb::usb_queue()) == 0; }));
    KMVSIM_ClearReceived();
    on_ui([] {
      F_Update->open_directory(dir_.string());
      F_Update->show();
    });
  }
  void TearDown() override {
    on_ui([] {
      if (F_Update) F_Update->hide();
    });
    for (int i = 0; i < 5 && g_plugin.open_count.load() > 0; ++i) CloseHW();
    std::error_code ec;
    fs::remove("KMV410V2.11", ec);
  }

  // Write a firmware file and choose it in the window.
  static void choose(const std::string& name, const std::vector<uint8_t>& content) {
    std::ofstream(dir_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
    on_ui([&] {
      F_Update->open_directory(dir_.string());
      auto& items = F_Update->FLB_File->items;
      auto it = std::find(items.begin(), items.end(), name);
      ASSERT_NE(it, items.end());
      F_Update->FLB_File->user_select(static_cast<int>(it - items.begin()));
    });
  }

  // One run, as a click on Start; returns its duration in ms.
  static long long start() {
    long long t0 = tasks::now_ms();
    on_ui([] { F_Update->B_Start->click(); });
    return tasks::now_ms() - t0;
  }
  // A click on Start that returns at once; the test watches the window while the run goes.
  static void start_async() {
    ui::post([] { F_Update->B_Start->click(); });
  }
  static bool running() {
    bool r = false;
    on_ui([&] { r = !F_Update->B_Start->enabled; });
    return r;
  }
  // The seconds counter of the clear phases, 50 times as fast: it gives up after 1.24 s.
  static void fast_seconds() {
    on_ui([] { F_Update->Timer2->set_interval(20); });
  }

  static fs::path dir_;
};
fs::path UpdateTest::dir_;

std::vector<std::vector<uint8_t>> blocks_sent() {
  return received_with_code(0x0D);
}

uint16_t sum16(const std::vector<uint8_t>& bytes) {
  uint32_t s = 0;
  for (uint8_t b : bytes) s += b;
  return static_cast<uint16_t>(s);
}

const std::vector<uint8_t> kFullClear = {0x0C, 0x00, 0x00, 0x80, 0x02};

std::vector<uint8_t> head(const std::vector<uint8_t>& m, size_t n) {
  return std::vector<uint8_t>(m.begin(), m.begin() + static_cast<long>(std::min(n, m.size())));
}

// ---- good runs -----------------------------------------------------------------------------

TEST_F(UpdateTest, ThousandBytesGoAsFourBlocksFromTheEnd) {
  auto file = pattern(1000, 1);
  choose("a.Bit", file);
  start();
  Texts t = texts();
  EXPECT_EQ(t.send, "Bytes sent:");
  EXPECT_EQ(t.bytes, "Transfer OK!");
  EXPECT_GT(t.progress, 0);
  EXPECT_TRUE(t.start_enabled && t.close_enabled);

  auto clears = received_with_code(0x0C);
  ASSERT_EQ(clears.size(), 1u);
  EXPECT_EQ(head(clears[0], 5), (std::vector<uint8_t>{0x0C, 0xE8, 0x03, 0x00, 0x02}));
  auto blocks = blocks_sent();
  ASSERT_EQ(blocks.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_GE(blocks[i].size(), 259u);
    EXPECT_EQ(blocks[i][1], 0x81 + i);
    EXPECT_EQ(blocks[i][258], 0x00);  // transmission count
  }
  // First the file's tail, bytes 768-999, then 24 bytes 0xFF; last the file's first 256 bytes.
  EXPECT_TRUE(std::equal(file.begin() + 768, file.end(), blocks[0].begin() + 2));
  EXPECT_TRUE(std::all_of(blocks[0].begin() + 2 + 232, blocks[0].begin() + 258,
                          [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(file.begin(), file.begin() + 256, blocks[3].begin() + 2));
  EXPECT_EQ(image(), file);
}

TEST_F(UpdateTest, FileOfWholeBlocksIsSentWithoutPadding) {
  auto file = pattern(512, 2);
  choose("b.Bit", file);
  start();
  EXPECT_EQ(texts().bytes, "Transfer OK!");
  auto blocks = blocks_sent();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_TRUE(std::equal(file.begin() + 256, file.end(), blocks[0].begin() + 2));
  EXPECT_TRUE(std::equal(file.begin(), file.begin() + 256, blocks[1].begin() + 2));
  EXPECT_EQ(image(), file);
}

// 130 blocks: the sequence byte wraps from 0xFF to 0x80, and the sum of 33 KiB wraps at 16 bits
// on both sides, padding included.
TEST_F(UpdateTest, LongFileWrapsTheSequenceByteAndTheSum) {
  auto file = pattern(129 * 256 + 10, 3);
  choose("long.Bit", file);
  start();
  Texts t = texts();
  EXPECT_EQ(t.bytes, "Transfer OK!");
  auto blocks = blocks_sent();
  ASSERT_EQ(blocks.size(), 130u);
  for (size_t i = 0; i < blocks.size(); ++i) {
    ASSERT_EQ(blocks[i][1], 0x80 | ((i + 1) & 0x7F)) << "block " << i + 1;
  }
  EXPECT_EQ(blocks[126][1], 0xFF);
  EXPECT_EQ(blocks[127][1], 0x80);  // the 128th
  EXPECT_EQ(blocks[128][1], 0x81);  // the 129th

  std::vector<uint8_t> padded = file;
  padded.resize(130 * 256, 0xFF);
  EXPECT_GT(padded.size() * 100, 0xFFFFu);  // far more than 16 bits can hold
  EXPECT_EQ(firmware_state().sum, sum16(padded));
  EXPECT_EQ(image(), file);
}

TEST_F(UpdateTest, ClearThatTakesTimeIsCountedInSecondsAndWaitedFor) {
  KMVSIM_FirmwareClearDelay(700);
  on_ui([] { F_Update->Timer2->set_interval(100); });
  auto file = pattern(300, 4);
  choose("slow.Bit", file);
  start_async();
  std::vector<std::string> seen;
  ASSERT_TRUE(eventually([&] {
    Texts t = texts();
    if (t.send == "Clearing Memory:" && (seen.empty() || seen.back() != t.bytes)) {
      seen.push_back(t.bytes);
    }
    return !running();
  }));
  EXPECT_EQ(texts().bytes, "Transfer OK!");
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen.front(), "0");
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_EQ(seen[i], std::to_string(i));
  EXPECT_LT(seen.size(), 12u);
  EXPECT_EQ(image(), file);
}

// ---- failed runs and the recovery ------------------------------------------------------------

// Answers that fail the run at once, without waiting for the time-out; each failed run ends
// with the whole memory cleared. A clear answered with something other than 0x5A does not stop
// the run: the first block goes, and the receiver refuses it.
TEST_F(UpdateTest, BadAnswersFailAtOnceAndTheMemoryIsClearedWhole) {
  struct Case {
    uint32_t fault, answer;
    size_t blocks;  // sent up to the one that failed
  } cases[] = {
      {KMVSIM_FW_WRONG_SUM, 2, 2},
      {KMVSIM_FW_ERROR, 1, 1},
      {KMVSIM_FW_PREMATURE_END, 2, 2},  // status 0 with the right sum, before the end
      {KMVSIM_FW_ERROR, 0, 1},          // the clear itself failed
  };
  choose("a.Bit", pattern(1000, 5));
  for (const Case& c : cases) {
    SCOPED_TRACE("fault " + std::to_string(c.fault) + " at answer " + std::to_string(c.answer));
    KMVSIM_ClearReceived();
    KMVSIM_FirmwareFault(c.fault, c.answer);
    EXPECT_LT(start(), update::kAckTimeoutMs - 500);
    Texts t = texts();
    EXPECT_EQ(t.send, "No file loaded!");
    EXPECT_EQ(t.bytes, "Memory ready, try again!");
    EXPECT_TRUE(t.start_enabled && t.close_enabled);
    EXPECT_EQ(blocks_sent().size(), c.blocks);
    auto clears = received_with_code(0x0C);
    ASSERT_EQ(clears.size(), 2u);
    EXPECT_EQ(head(clears[1], 5), kFullClear);
  }
  EXPECT_EQ(firmware_state().full_clears, 4u);
}

// Every block acknowledged, but the final status never comes: the run waits 3 s for it.
TEST_F(UpdateTest, MissingFinalStatusFailsAfterTheTimeOut) {
  KMVSIM_FirmwareFault(KMVSIM_FW_SILENT, 5);  // 4 blocks, then the final status
  choose("a.Bit", pattern(1000, 8));
  long long ms = start();
  EXPECT_GE(ms, update::kAckTimeoutMs);
  EXPECT_LT(ms, update::kAckTimeoutMs + 2000);
  Texts t = texts();
  EXPECT_EQ(t.send, "No file loaded!");
  EXPECT_EQ(t.bytes, "Memory ready, try again!");
  EXPECT_EQ(blocks_sent().size(), 4u);
}

TEST_F(UpdateTest, SecondRunRightAfterAFailedOneSucceeds) {
  KMVSIM_FirmwareFault(KMVSIM_FW_WRONG_SUM, 3);
  auto file = pattern(1000, 10);
  choose("a.Bit", file);
  start();
  ASSERT_EQ(texts().bytes, "Memory ready, try again!");
  KMVSIM_ClearReceived();
  start();
  Texts t = texts();
  EXPECT_EQ(t.send, "Bytes sent:");
  EXPECT_EQ(t.bytes, "Transfer OK!");
  EXPECT_EQ(blocks_sent().size(), 4u);
  EXPECT_EQ(image(), file);
}

TEST_F(UpdateTest, UnansweredClearIsGivenUpOnTheSixtySecondTick) {
  fast_seconds();
  KMVSIM_FirmwareFault(KMVSIM_FW_SILENT, 0);  // the recovery's clear is answered again
  choose("a.Bit", pattern(1000, 11));
  long long ms = start();
  EXPECT_GE(ms, 62 * 20);
  Texts t = texts();
  EXPECT_EQ(t.send, "No file loaded!");
  EXPECT_EQ(t.bytes, "Memory ready, try again!");
  EXPECT_TRUE(blocks_sent().empty());
}

TEST_F(UpdateTest, RecoveryThatIsNotAnsweredKeepsThePhaseMessage) {
  fast_seconds();
  KMVSIM_FirmwareFault(KMVSIM_FW_HANG, 0);
  choose("a.Bit", pattern(1000, 12));
  start();
  Texts t = texts();
  EXPECT_EQ(t.send, "Failed! Clear Mem:");
  EXPECT_EQ(t.bytes, "Connection Timeout!");

  // A block that is never answered, and a recovery that is not either.
  KMVSIM_FirmwareFault(KMVSIM_FW_HANG, 2);
  KMVSIM_ClearReceived();
  start();
  t = texts();
  EXPECT_EQ(t.send, "Failed! Clear Mem:");
  EXPECT_EQ(t.bytes, "Timeout!");
  EXPECT_EQ(blocks_sent().size(), 2u);
  auto clears = received_with_code(0x0C);
  ASSERT_EQ(clears.size(), 2u);
  EXPECT_EQ(head(clears[1], 5), kFullClear);
}

// The receiver is unplugged while it clears: its answer never comes, and the recovery finds no
// link to send its clear on.
TEST_F(UpdateTest, LinkLostDuringTheRunEndsWithAlsoFailed) {
  fast_seconds();
  KMVSIM_FirmwareClearDelay(300);
  choose("a.Bit", pattern(1000, 13));
  start_async();
  ASSERT_TRUE(eventually([] { return received_with_code(0x0C).size() == 1; }));
  KMVSIM_SetPresent(0);
  ASSERT_TRUE(eventually([] { return !running(); }));
  Texts t = texts();
  EXPECT_EQ(t.send, "Failed! Clear Mem:");
  EXPECT_EQ(t.bytes, "Also Failed!");
  EXPECT_TRUE(t.start_enabled && t.close_enabled);
  EXPECT_TRUE(blocks_sent().empty());
  EXPECT_EQ(received_with_code(0x0C).size(), 1u);
}

// A host that closes the plug-in during a run: the run's waits end at once, and the teardown
// follows when the Start handler has returned.
TEST_F(UpdateTest, HostClosingDuringARunEndsItPromptly) {
  KMVSIM_FirmwareFault(KMVSIM_FW_HANG, 2);  // would wait 3 s, then 62 s for the recovery
  choose("a.Bit", pattern(1000, 16));
  start_async();
  ASSERT_TRUE(eventually([] { return blocks_sent().size() == 2; }));
  long long t0 = tasks::now_ms();
  CloseHW();
  EXPECT_LT(tasks::now_ms() - t0, 2000);
  EXPECT_EQ(g_plugin.open_count.load(), 0);
  bool gone = false;
  on_ui([&] { gone = F_Update == nullptr; });
  EXPECT_TRUE(gone);
}

// ---- runs that never start -------------------------------------------------------------------

TEST_F(UpdateTest, NoLinkOpenSendsNothing) {
  choose("a.Bit", pattern(1000, 14));
  KMVSIM_SetPresent(0);
  ASSERT_TRUE(eventually([] { return usb::g_link.handle.load() == nullptr; }));
  KMVSIM_ClearReceived();
  start();
  Texts t = texts();
  EXPECT_EQ(t.send, "No link open!");
  EXPECT_EQ(t.bytes, "Nothing sent!");
  EXPECT_TRUE(t.start_enabled && t.close_enabled);
  EXPECT_EQ(KMVSIM_ReceivedCount(), 0u);
}

TEST_F(UpdateTest, EmptyFileSendsNothing) {
  choose("empty.Bit", {});
  start();
  Texts t = texts();
  EXPECT_EQ(t.send, "Bytes:");
  EXPECT_EQ(t.bytes, "0");
  EXPECT_TRUE(t.start_enabled && t.close_enabled);
  EXPECT_TRUE(received_with_code(0x0C).empty());
}

TEST_F(UpdateTest, MissingOrOversizedFileIsRefused) {
  on_ui([] { F_Update->L_Bytes->caption = "seen"; });
  start();  // nothing chosen
  EXPECT_EQ(texts().send, "No file found!");

  choose("gone.Bit", pattern(10, 15));
  fs::remove(dir_ / "gone.Bit");
  start();
  EXPECT_EQ(texts().send, "No file found!");

  // Larger than the 24 bits of size the clear can carry.
  std::ofstream(dir_ / "big.Bit").close();
  fs::resize_file(dir_ / "big.Bit", update::kMaxFileBytes + 1);
  choose("big.Bit", {});
  fs::resize_file(dir_ / "big.Bit", update::kMaxFileBytes + 1);
  start();
  Texts t = texts();
  EXPECT_EQ(t.send, "File too large!");
  EXPECT_EQ(t.bytes, "seen");  // nothing else changed
  EXPECT_TRUE(t.start_enabled && t.close_enabled);
  EXPECT_EQ(KMVSIM_ReceivedCount(), 0u);
}

// ---- the window --------------------------------------------------------------------------------

TEST_F(UpdateTest, FileListShowsOnlyFirmwareFiles) {
  for (const char* name : {"x.Bit", "y.BIT", "z.bit", "notes.txt", "x.Bit.bak"}) {
    std::ofstream(dir_ / name).close();
  }
  fs::create_directories(dir_ / "sub.Bit");
  std::vector<std::string> items;
  on_ui([&] {
    F_Update->open_directory(dir_.string());
    items = F_Update->FLB_File->items;
  });
  for (const char* name : {"x.Bit", "y.BIT", "z.bit"}) {
    EXPECT_NE(std::find(items.begin(), items.end(), name), items.end()) << name;
  }
  for (const char* name : {"notes.txt", "x.Bit.bak", "sub.Bit"}) {
    EXPECT_EQ(std::find(items.begin(), items.end(), name), items.end()) << name;
  }
  EXPECT_TRUE(update::mask_matches("*.Bit", "A.bIt"));
  EXPECT_TRUE(update::mask_matches("K?V*.Bit", "KMV410_2.Bit"));
  EXPECT_FALSE(update::mask_matches("*.Bit", ".Bitx"));

  // Into a sub-folder and back up: the file list follows the folder list.
  fs::create_directories(dir_ / "inner");
  std::ofstream(dir_ / "inner" / "deep.Bit").close();
  on_ui([&] {
    F_Update->open_directory(dir_.string());
    auto& dirs = F_Update->DirectoryListBox1->items;
    auto it = std::find(dirs.begin(), dirs.end(), "inner");
    ASSERT_NE(it, dirs.end());
    F_Update->DirectoryListBox1->user_select(static_cast<int>(it - dirs.begin()));
    EXPECT_EQ(F_Update->FLB_File->items, std::vector<std::string>{"deep.Bit"});
    F_Update->FLB_File->user_select(0);
    F_Update->DirectoryListBox1->user_select(0);  // ".."
    EXPECT_EQ(fs::path(F_Update->FLB_File->directory), dir_);
  });
  EXPECT_EQ(update::g_update.selected_file, (dir_ / "inner" / "deep.Bit").string());
}

// The panel's Update button shows the window modally: the click returns once it is closed.
TEST_F(UpdateTest, UpdateButtonShowsTheWindowUntilItIsClosed) {
  on_ui([] { F_Update->hide(); });
  std::atomic<bool> returned{false};
  ui::post([&] {
    F_RDR1->B_Update->click();
    returned = true;
  });
  ASSERT_TRUE(eventually([] {
    bool shown = false;
    on_ui([&] { shown = F_Update->visible; });
    return shown;
  }));
  Texts t = texts();
  EXPECT_EQ(t.bytes, "0");
  EXPECT_EQ(t.progress, 0);
  EXPECT_TRUE(t.start_enabled);
  tasks::sleep_ms(50);
  EXPECT_FALSE(returned.load());
  on_ui([] { F_Update->B_Close->click(); });
  EXPECT_TRUE(eventually([&] { return returned.load(); }));
  on_ui([] {
    EXPECT_FALSE(F_Update->visible);
    EXPECT_EQ(F_Update->modal_result, update::kModalResultClose);
  });
}

}  // namespace

// ---- extio-host --firmware -------------------------------------------------------------------

struct HostRun {
  int status = -1;
  std::string out;
};

HostRun extio_host(const std::string& args) {
  HostRun r;
  std::string cmd = std::string(EXTIO_HOST_EXE) + " " + args + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[256];
  while (std::fgets(buf, sizeof buf, p)) r.out += buf;
  int s = pclose(p);
  r.status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  return r;
}

TEST(ExtioHostFirmware, UpdateRunsThroughTheWindowAndReportsItsTexts) {
  fs::path dir = fs::temp_directory_path() / ("kmv-fwhost-" + std::to_string(getpid()));
  fs::create_directories(dir);
  auto file = pattern(5000, 20);
  std::ofstream(dir / "new.Bit", std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  HostRun ok = extio_host("--firmware " + (dir / "new.Bit").string());
  EXPECT_EQ(ok.status, 0) << ok.out;
  EXPECT_NE(ok.out.find("L_Send: Bytes sent:\nL_Bytes: Transfer OK!\n"), std::string::npos)
      << ok.out;
  EXPECT_NE(ok.out.find("image: 5000 bytes, equal to the file\n"), std::string::npos) << ok.out;

  std::ofstream(dir / "big.Bit").close();
  fs::resize_file(dir / "big.Bit", update::kMaxFileBytes + 1);
  HostRun big = extio_host("--firmware " + (dir / "big.Bit").string());
  EXPECT_EQ(big.status, 1);
  EXPECT_NE(big.out.find("L_Send: File too large!\n"), std::string::npos) << big.out;

  // The same over the LAN side of the simulator.
  HostRun lan = extio_host("--firmware " + (dir / "new.Bit").string() + " --sim lan");
  EXPECT_EQ(lan.status, 0) << lan.out;
  EXPECT_NE(lan.out.find("L_Bytes: Transfer OK!\n"), std::string::npos) << lan.out;
  EXPECT_NE(lan.out.find("image: 5000 bytes, equal to the file\n"), std::string::npos) << lan.out;
  // An update has no stream to choose a transport for.
  EXPECT_EQ(extio_host("--firmware " + (dir / "new.Bit").string() + " --sim lan --udp").status, 2);

  // Only "*.Bit" files are offered by the window.
  std::ofstream(dir / "new.txt").close();
  EXPECT_EQ(extio_host("--firmware " + (dir / "new.txt").string()).status, 2);
  fs::remove_all(dir);
}
