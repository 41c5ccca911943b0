// The panel's settings file: round trip, the restore rules, damaged files and failed writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "control/Form1.h"
#include "control/settings_file.h"
#include "mix/Coord1.h"
#include "platform/ui.h"
#include "usb/command_queue.h"

namespace fs = std::filesystem;

namespace {

const char* kFile = "KMV410V2.11";

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kmv-settings-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    ui::clear_message_boxes();
  }
  void TearDown() override {
    ASSERT_EQ(chdir("/"), 0);
    fs::remove_all(dir_);
  }
  // Create a panel, run fn on it, destroy it (which writes the file), on the UI thread.
  static void with_panel(const std::function<void(TF_RDR1&)>& fn) {
    ui::run_on_ui([&] {
      auto* f = new TF_RDR1();
      fn(*f);
      delete f;
    });
  }
  static std::vector<std::string> lines() {
    std::ifstream in(kFile);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }
  static void write(const std::vector<std::string>& ls) {
    std::ofstream out(kFile, std::ios::binary);
    for (auto& l : ls) out << l << "\n";
  }
  // A complete file with the design values, then one record replaced.
  static void write_with(int record, const std::string& line) {
    with_panel([](TF_RDR1&) {});
    auto ls = lines();
    ls.at(static_cast<size_t>(record - 1)) = line;
    write(ls);
  }
  fs::path dir_;
};

TEST_F(SettingsTest, EveryKeptValueSurvivesARoundTrip) {
  with_panel([](TF_RDR1& f) {
    f.RB_VHF1->set_checked(true);
    f.CB_PreAmp->set_checked(true);
    f.C_Ant1->set_item_index(4);
    f.L_Att1->caption = "3";
    f.L_Pos1->caption = "90";
    f.RB_HF2->set_checked(true);
    f.C_Ant2->set_item_index(3);
    f.L_Att2->caption = "-2";
    f.L_Pos2->caption = "50";
    f.RB_Csep->set_checked(true);
    f.SB_CLK->set_text("160");
    f.E_Freq0->set_text("7.000.000");
    f.E_Freq1->set_text("14.000.000");
    f.C_LAN1->set_item_index(0);
    f.C_USB2->set_item_index(5);
    f.L_BitsU->caption = "16";
    f.L_BitsU->tag = 0;
    f.E_IP->set_text("DHCP");
    f.E_LANSN->set_text("0042");
    f.E_GPS->set_text("123");
    F_Coord->E_Mag->set_text("1,122");
    F_Coord->E_Phase->set_text("-45,50");
  });
  EXPECT_EQ(lines().size(), 31u);
  with_panel([](TF_RDR1& f) {
    EXPECT_TRUE(f.RB_VHF1->checked());
    EXPECT_FALSE(f.RB_HF1->checked());
    EXPECT_TRUE(f.CB_PreAmp->checked());
    EXPECT_EQ(f.C_Ant1->item_index(), 4);
    EXPECT_EQ(f.TB_Att1->position(), 10);   // "3" dB is position 10
    EXPECT_EQ(f.TB_Pos1->position(), 116);  // 90 degrees on a direction antenna
    EXPECT_EQ(usb::g_status.settings_echo[1].load(), 10u);
    EXPECT_EQ(usb::g_status.settings_echo[3].load(), 116u);
    EXPECT_TRUE(f.RB_HF2->checked());
    EXPECT_EQ(f.TB_Att2->position(), 5);
    EXPECT_EQ(f.TB_Pos2->position(), 50);  // BEL3 keeps the value as shown
    EXPECT_TRUE(f.RB_Csep->checked());
    EXPECT_FALSE(f.RB_Cpar->checked());
    EXPECT_EQ(f.SB_CLK->value(), 160);
    EXPECT_EQ(f.E_Freq0->text(), "7.000.000");
    EXPECT_EQ(f.E_Freq1->text(), "14.000.000");
    EXPECT_EQ(f.C_LAN1->item_index(), 0);
    EXPECT_EQ(f.C_USB2->item_index(), 5);
    EXPECT_EQ(f.L_BitsU->caption, "16");
    EXPECT_EQ(f.L_BitsU->tag, 0);
    EXPECT_EQ(f.L_BitsL->tag, 1);
    EXPECT_EQ(f.E_IP->text(), "DHCP");
    EXPECT_EQ(f.E_LANSN->text(), "0042");
    EXPECT_EQ(f.E_GPS->text(), "123");
    EXPECT_EQ(F_Coord->E_Mag->text(), "1,122");
    EXPECT_EQ(F_Coord->E_Phase->text(), "-45,50");
    EXPECT_TRUE(f.B_Div->enabled);  // the rest of FormCreate ran
  });
  EXPECT_TRUE(ui::message_boxes().empty());
}

TEST_F(SettingsTest, EveryShownAntennaDirectionSurvivesASaveAndRestore) {
  // The display shows floor(position * 1000 / 1288); restoring must give a position that shows
  // the same label again, or a saved direction would creep at every open.
  for (int pos = 0; pos <= 232; ++pos) {
    int shown = pos * 1000 / 1288;
    write_with(7, "TLabel L_Pos1 Caption=\"" + std::to_string(shown) + "\"");
    with_panel([&](TF_RDR1& f) {
      int restored = f.TB_Pos1->position();
      EXPECT_EQ(restored * 1000 / 1288, shown) << "position " << pos;
    });
  }
}

TEST_F(SettingsTest, TruncatedFileKeepsWhatWasRestoredAndSkipsTheRest) {
  with_panel([](TF_RDR1& f) { f.CB_PreAmp->set_checked(true); });
  auto ls = lines();
  ls.resize(10);
  write(ls);
  with_panel([](TF_RDR1& f) {
    EXPECT_TRUE(f.CB_PreAmp->checked());
    EXPECT_FALSE(f.B_Div->enabled);  // FormCreate stopped at the damaged record
    EXPECT_FALSE(f.E_LANSN->enabled);
  });
  auto boxes = ui::message_boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].text.find("record 11"), std::string::npos) << boxes[0].text;
}

TEST_F(SettingsTest, CaptionThatIsNotANumberIsReported) {
  write_with(6, "TLabel L_Att1 Caption=\"3x\"");
  with_panel([](TF_RDR1& f) {
    EXPECT_EQ(f.TB_Att1->position(), 0);
    EXPECT_FALSE(f.B_Div->enabled);
  });
  ASSERT_EQ(ui::message_boxes().size(), 1u);
  EXPECT_NE(ui::message_boxes()[0].text.find("'3x' is not a valid integer value"),
            std::string::npos);
}

TEST_F(SettingsTest, ValuesThePanelCannotTakeFallBackToTheDesignValue) {
  with_panel([](TF_RDR1&) {});
  auto ls = lines();
  ls[4] = "TComboBox C_Ant1 ItemIndex=9";
  ls[5] = "TLabel L_Att1 Caption=\"50\"";
  ls[17] = "TSpinEdit SB_CLK Value=300";
  ls[18] = "TEdit E_Freq0 Text=\"1234567890123456\"";
  ls[21] = "TComboBox C_USB1 ItemIndex=-4";
  ls[24] = "TLabel L_BitsU Caption=\"24\" Tag=7";
  ls[26] = "TEdit E_IP Text=\"192.168.100.100.1\"";
  ls[27] = "TEdit E_LANSN Text=\"12a\"";
  ls[28] = "TEdit E_GPS Text=\"99999999\"";
  ls[29] = "TEdit E_Mag Text=\"1,2x\"";
  write(ls);
  with_panel([](TF_RDR1& f) {
    EXPECT_EQ(f.C_Ant1->item_index(), 0);
    EXPECT_EQ(f.TB_Att1->position(), 0);
    EXPECT_EQ(f.L_Att1->caption, "-7");
    EXPECT_EQ(f.SB_CLK->value(), 125);
    EXPECT_EQ(f.E_Freq0->text(), "999.000.000");
    EXPECT_EQ(f.C_USB1->item_index(), 3);
    EXPECT_EQ(f.L_BitsU->tag, 1);
    EXPECT_EQ(f.E_IP->text(), "192.168.1.10");
    EXPECT_EQ(f.E_LANSN->text(), "0000");
    EXPECT_EQ(f.E_GPS->text(), "-9999");
    EXPECT_EQ(F_Coord->E_Mag->text(), "1,000");
    EXPECT_TRUE(f.B_Div->enabled);
  });
  EXPECT_TRUE(ui::message_boxes().empty());
}

// Numbers at the ends of int's range, where the restore's own arithmetic could overflow.
TEST_F(SettingsTest, HugeAndNegativeNumbersRestoreTheDesignValues) {
  for (const char* ant : {"0", "3"}) {  // a direction antenna, then BEL3 (shown as it is)
    SCOPED_TRACE(ant);
    with_panel([](TF_RDR1&) {});
    auto ls = lines();
    ls[4] = std::string("TComboBox C_Ant1 ItemIndex=") + ant;
    ls[5] = "TLabel L_Att1 Caption=\"2147483647\"";
    ls[6] = "TLabel L_Pos1 Caption=\"2147483647\"";
    ls[9] = "TComboBox C_Ant2 ItemIndex=-2147483648";
    ls[10] = "TLabel L_Att2 Caption=\"-2147483648\"";
    ls[11] = "TLabel L_Pos2 Caption=\"-2147483648\"";
    ls[17] = "TSpinEdit SB_CLK Value=2147483647";
    ls[20] = "TComboBox C_LAN1 ItemIndex=2147483647";
    ls[24] = "TLabel L_BitsU Caption=\"24\" Tag=-2147483648";
    write(ls);
    with_panel([](TF_RDR1& f) {
      EXPECT_EQ(f.TB_Att1->position(), 0);
      EXPECT_EQ(f.L_Att1->caption, "-7");
      EXPECT_EQ(f.TB_Pos1->position(), 0);
      EXPECT_EQ(f.L_Pos1->caption, "0");
      EXPECT_EQ(f.C_Ant2->item_index(), 0);
      EXPECT_EQ(f.TB_Att2->position(), 0);
      EXPECT_EQ(f.L_Att2->caption, "-7");
      EXPECT_EQ(f.TB_Pos2->position(), 0);
      EXPECT_EQ(f.L_Pos2->caption, "0");
      EXPECT_EQ(f.SB_CLK->value(), 125);
      EXPECT_EQ(f.C_LAN1->item_index(), 3);
      EXPECT_EQ(f.L_BitsU->tag, 1);
      for (size_t i = 1; i <= 4; ++i) EXPECT_EQ(usb::g_status.settings_echo[i].load(), 0u) << i;
    });
    EXPECT_TRUE(ui::message_boxes().empty());
    // The attenuator's last position that fits still restores.
    with_panel([](TF_RDR1&) {});
    ls = lines();
    ls[5] = "TLabel L_Att1 Caption=\"28\"";
    ls[10] = "TLabel L_Att2 Caption=\"29\"";
    write(ls);
    with_panel([](TF_RDR1& f) {
      EXPECT_EQ(f.TB_Att1->position(), 35);
      EXPECT_EQ(f.L_Att1->caption, "28");
      EXPECT_EQ(f.L_Att2->caption, "-7");
    });
  }
}

TEST_F(SettingsTest, TextsWithQuotesAndControlCharactersAreKeptExactly) {
  std::string odd = "a\"b\\c\x01";
  with_panel([&](TF_RDR1& f) { f.E_Freq0->set_text(odd); });
  with_panel([&](TF_RDR1& f) { EXPECT_EQ(f.E_Freq0->text(), odd); });
}

TEST_F(SettingsTest, FailedWriteIsReportedAndLeavesTheOldFile) {
  with_panel([](TF_RDR1& f) { f.E_GPS->set_text("77"); });
  std::string before;
  {
    std::ifstream in(kFile);
    std::stringstream ss;
    ss << in.rdbuf();
    before = ss.str();
  }
  fs::create_directory(std::string(kFile) + ".new");  // the new file cannot be created
  ui::clear_message_boxes();
  with_panel([](TF_RDR1& f) { f.E_GPS->set_text("88"); });
  ASSERT_EQ(ui::message_boxes().size(), 1u);
  EXPECT_NE(ui::message_boxes()[0].text.find("Cannot write KMV410V2.11"), std::string::npos);
  std::ifstream in(kFile);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_EQ(ss.str(), before);
}

TEST_F(SettingsTest, TheVersionLabelNamesTheFile) {
  with_panel([](TF_RDR1& f) {
    f.L_Ver->caption = "V9.99";
    f.E_GPS->set_text("55");
  });
  EXPECT_TRUE(fs::exists("KMV410V9.99"));
  EXPECT_FALSE(fs::exists(kFile));
}

TEST_F(SettingsTest, AnyContentNeverCrashesThePanel) {
  std::mt19937 rng(410);
  with_panel([](TF_RDR1&) {});
  auto good = lines();
  for (int round = 0; round < 300; ++round) {
    std::string content;
    switch (round % 4) {
      case 0:  // binary garbage
        for (int i = 0; i < 2000; ++i) content += static_cast<char>(rng());
        break;
      case 1:  // a good file with bytes flipped
        for (auto& l : good) content += l + "\n";
        for (int i = 0; i < 8; ++i) content[rng() % content.size()] = static_cast<char>(rng());
        break;
      case 2:  // a huge line
        content = "TRadioButton RB_VHF1 Checked=" + std::string(100000, '1');
        break;
      case 3:  // unknown controls and stray keys
        content = "TFoo Bar Baz=\"\\x\"\nTRadioButton RB_VHF1 Checked=1 Extra=\"\n";
        break;
    }
    std::ofstream(kFile, std::ios::binary) << content;
    ui::run_on_ui([] { delete new TF_RDR1(); });
  }
  SUCCEED();
}

}  // namespace
