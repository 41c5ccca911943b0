// The forms drawn with native Win32 controls, checked through Win32 alone: what the windows show,
// what native input does to the model, and what model changes do to the windows. The test's main
// thread is the user-interface thread and pumps a plain host loop.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "control/Form1.h"
#include "mix/Coord1.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/plugin_state.h"
#include "update/Update1.h"
#include "usb/command_queue.h"

namespace {

// The host's loop, until done() or ms have passed; a thread timer keeps GetMessage from waiting
// past the bound.
bool pump_until(const std::function<bool()>& done, int ms = 1000) {
  UINT_PTR wake = SetTimer(nullptr, 0, 10, nullptr);
  long long end = tasks::now_ms() + ms;
  MSG msg;
  while (!done() && tasks::now_ms() < end && GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  KillTimer(nullptr, wake);
  return done();
}

void pump(int ms) {
  pump_until([] { return false; }, ms);
}

std::string text_of(HWND h) {
  char buf[256] = {};
  GetWindowTextA(h, buf, sizeof buf);
  return buf;
}

std::string class_of(HWND h) {
  char buf[64] = {};
  GetClassNameA(h, buf, sizeof buf);
  return buf;
}

RECT rect_in_parent(HWND h) {
  RECT r;
  GetWindowRect(h, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(h), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// The direct child of parent of this class (case-insensitive; a prefix for our own classes)
// whose top-left corner lies at left, top.
HWND child_at(HWND parent, const std::string& cls, int left, int top) {
  for (HWND h = GetWindow(parent, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) {
    std::string c = class_of(h);
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, c.c_str(),
                       static_cast<int>(std::min(c.size(), cls.size())), cls.c_str(),
                       static_cast<int>(cls.size())) != CSTR_EQUAL) {
      continue;
    }
    RECT r = rect_in_parent(h);
    if (r.left == left && r.top == top) return h;
  }
  return nullptr;
}

const char* class_for(ui::Kind k) {
  switch (k) {
    case ui::Kind::Panel:
    case ui::Kind::GroupBox:
      return "KMV410Panel";
    case ui::Kind::Label:
    case ui::Kind::ProgressBar:
      return "Static";
    case ui::Kind::Edit:
    case ui::Kind::SpinEdit:
      return "Edit";
    case ui::Kind::ComboBox:
    case ui::Kind::DriveList:
      return "ComboBox";
    case ui::Kind::ScrollBar:
      return "ScrollBar";
    case ui::Kind::FileList:
    case ui::Kind::DirectoryList:
      return "ListBox";
    case ui::Kind::CheckBox:
    case ui::Kind::RadioButton:
    case ui::Kind::Button:
    case ui::Kind::ToggleButton:
    case ui::Kind::SpinButton:
      return "Button";
    default:
      return nullptr;  // no window of its own
  }
}

// The native control of a model control: found by its place under its parent's window.
HWND native_of(HWND form, const ui::Control* c) {
  std::vector<const ui::Control*> chain;
  for (const ui::Control* p = c; p && p->kind() != ui::Kind::Form; p = p->parent()) {
    chain.insert(chain.begin(), p);
  }
  HWND h = form;
  for (const ui::Control* p : chain) {
    h = child_at(h, class_for(p->kind()), p->left, p->top);
    if (!h) return nullptr;
  }
  return h;
}

void command(HWND control, WORD code) {
  SendMessageA(GetParent(control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), code),
               reinterpret_cast<LPARAM>(control));
}

bool checked(HWND h) {
  return SendMessageA(h, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

int width_of(HWND h) {
  RECT r;
  GetWindowRect(h, &r);
  return r.right - r.left;
}

// This thread's top-level windows (other test processes show the same forms).
BOOL CALLBACK collect(HWND h, LPARAM p) {
  reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
  return TRUE;
}

std::vector<HWND> thread_windows() {
  std::vector<HWND> all;
  EnumThreadWindows(GetCurrentThreadId(), collect, reinterpret_cast<LPARAM>(&all));
  return all;
}

HWND form_window(const char* title) {
  for (HWND h : thread_windows()) {
    if (text_of(h) == title) return h;
  }
  return nullptr;
}

// Top-level windows of this thread made by the renderer.
int form_windows() {
  int count = 0;
  for (HWND h : thread_windows()) count += class_of(h).rfind("KMV410Form", 0) == 0;
  return count;
}

class RenderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ui::adopt_this_thread();
    ui::suppress_message_boxes(true);
    // The panel reads and writes its settings file in the working directory.
    dir_ = std::filesystem::temp_directory_path() /
           ("kmv-render-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
    usb::create_queues();
  }
  static void TearDownTestSuite() {
    usb::destroy_queues();
    std::filesystem::current_path(dir_.parent_path());
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  void SetUp() override {
    plugin::g_plugin.open_count = 0;
    F_RDR1 = panel = new TF_RDR1();
    panel->T_Update->set_enabled(false);  // no status display: the tests own the captions
    ui::clear_message_boxes();
  }
  void TearDown() override {
    F_RDR1 = nullptr;
    delete panel;
    std::filesystem::remove("KMV410V2.11");
    usb::lan_queue().entries.clear();
    usb::usb_queue().entries.clear();
  }

  HWND show_panel() {
    panel->show();
    pump(30);
    return form_window("KMV410 Control");
  }

  TF_RDR1* panel = nullptr;
  static inline std::filesystem::path dir_;
};

// Every model control with a window has one, under the right parent, at its place, showing its
// caption or text, shown when the model shows it.
void expect_native_tree(HWND parent_hwnd, const ui::Control& parent, int* seen) {
  for (const auto& child : parent.children()) {
    const ui::Control& c = *child;
    const char* cls = class_for(c.kind());
    if (!cls) continue;
    HWND h = child_at(parent_hwnd, cls, c.left, c.top);
    ASSERT_NE(h, nullptr) << c.name() << " has no " << cls << " at " << c.left << "," << c.top;
    ++*seen;
    RECT r = rect_in_parent(h);
    EXPECT_GE(r.right - r.left, c.kind() == ui::Kind::SpinEdit ? 1 : c.width) << c.name();
    EXPECT_EQ(IsWindowVisible(h) != FALSE, c.visible && IsWindowVisible(parent_hwnd)) << c.name();
    switch (c.kind()) {
      case ui::Kind::Label:
      case ui::Kind::Button:
      case ui::Kind::CheckBox:
      case ui::Kind::RadioButton:
      case ui::Kind::ToggleButton:
        EXPECT_EQ(text_of(h), c.caption) << c.name();
        break;
      case ui::Kind::Edit:
      case ui::Kind::SpinEdit:
        EXPECT_EQ(text_of(h), c.text()) << c.name();
        break;
      case ui::Kind::ComboBox:
        EXPECT_EQ(SendMessageA(h, CB_GETCOUNT, 0, 0), static_cast<LRESULT>(c.items.size()));
        EXPECT_EQ(SendMessageA(h, CB_GETCURSEL, 0, 0), c.item_index()) << c.name();
        break;
      default:
        break;
    }
    if (c.kind() == ui::Kind::CheckBox || c.kind() == ui::Kind::RadioButton) {
      EXPECT_EQ(checked(h), c.checked()) << c.name();
    }
    if (c.kind() == ui::Kind::Panel || c.kind() == ui::Kind::GroupBox) {
      expect_native_tree(h, c, seen);
    }
  }
}

TEST_F(RenderTest, PanelShowsEveryControlNativelyAtItsPlaceWithItsCaption) {
  HWND form = show_panel();
  ASSERT_NE(form, nullptr);
  EXPECT_TRUE(IsWindowVisible(form));
  RECT r;
  GetWindowRect(form, &r);
  EXPECT_EQ(r.left, panel->left);
  EXPECT_EQ(r.top, panel->top);
  EXPECT_EQ(r.right - r.left, kSimpleWidth);
  EXPECT_EQ(r.bottom - r.top, panel->height);
  int seen = 0;
  expect_native_tree(form, *panel, &seen);
  EXPECT_GT(seen, 100);
  // The mix and update windows are windows of their own, not shown with the panel.
  EXPECT_EQ(form_window("Mix Channel 2"), nullptr);

  // Panels and labels in their colours (drawn off screen: other tests' windows may lie on top).
  HWND p_ch1 = native_of(form, panel->P_CH1);
  ASSERT_NE(p_ch1, nullptr);
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, 300, 200);
  HGDIOBJ old = SelectObject(dc, bmp);
  SendMessageA(p_ch1, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
  EXPECT_EQ(GetPixel(dc, 246, 60), RGB(0xA6, 0xCA, 0xF0));  // right of every control
  HWND ch1 = child_at(p_ch1, "Static", 4, 4);               // Label_CH1
  ASSERT_NE(ch1, nullptr);
  SendMessageA(p_ch1, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
               reinterpret_cast<LPARAM>(ch1));
  EXPECT_EQ(GetBkColor(dc), RGB(0xA6, 0xCA, 0xF0));
  SelectObject(dc, old);
  DeleteObject(bmp);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
}

TEST_F(RenderTest, NativeInputRunsTheModelsUserActions) {
  HWND form = show_panel();
  ASSERT_NE(form, nullptr);

  // A button: the handler switches the layout; the window and caption follow at once.
  HWND adv = native_of(form, panel->B_Adv);
  ASSERT_NE(adv, nullptr);
  SendMessageA(adv, BM_CLICK, 0, 0);
  EXPECT_EQ(panel->width, kAdvancedWidth);
  EXPECT_EQ(text_of(adv), "Simple");
  EXPECT_EQ(width_of(form), kAdvancedWidth);

  // A check box, and radio buttons grouped by the model.
  HWND preamp = native_of(form, panel->CB_PreAmp);
  SendMessageA(preamp, BM_CLICK, 0, 0);
  EXPECT_TRUE(panel->CB_PreAmp->checked());
  EXPECT_TRUE(checked(preamp));
  HWND vhf = native_of(form, panel->RB_VHF1);
  HWND hf = native_of(form, panel->RB_HF1);
  ASSERT_TRUE(checked(hf));
  SendMessageA(vhf, BM_CLICK, 0, 0);
  EXPECT_TRUE(panel->RB_VHF1->checked());
  EXPECT_FALSE(panel->RB_HF1->checked());
  EXPECT_TRUE(checked(vhf));
  EXPECT_FALSE(checked(hf));

  // A combo box: NIM1 shows the direction bar and enables the through button.
  HWND ant = native_of(form, panel->C_Ant1);
  HWND bar = native_of(form, panel->TB_Pos1);
  ASSERT_NE(bar, nullptr);
  EXPECT_FALSE(IsWindowVisible(bar));
  SendMessageA(ant, CB_SETCURSEL, 4, 0);
  command(ant, CBN_SELCHANGE);
  EXPECT_EQ(panel->C_Ant1->item_index(), 4);
  EXPECT_TRUE(IsWindowVisible(bar));
  EXPECT_TRUE(IsWindowEnabled(bar));
  EXPECT_TRUE(IsWindowEnabled(native_of(form, panel->B_Through1)));

  // A scroll bar: a line step moves the model and runs its change handler.
  HWND att = native_of(form, panel->TB_Att1);
  int before = panel->TB_Att1->position();
  SendMessageA(GetParent(att), WM_HSCROLL, SB_LINERIGHT, reinterpret_cast<LPARAM>(att));
  EXPECT_EQ(panel->TB_Att1->position(), before + 1);
  EXPECT_EQ(GetScrollPos(att, SB_CTL), before + 1);
  // The handler: channel 2 follows channel 1, on screen as well.
  ASSERT_TRUE(panel->RB_C1->checked());
  EXPECT_EQ(panel->TB_Att2->position(), before + 1);
  EXPECT_EQ(GetScrollPos(native_of(form, panel->TB_Att2), SB_CTL), before + 1);

  // Typing into an edit.
  HWND ip = native_of(form, panel->E_IP);
  SetWindowTextA(ip, "10.0.0.7");
  EXPECT_EQ(panel->E_IP->text(), "10.0.0.7");
  EXPECT_TRUE(panel->E_IP->modified);
  SetFocus(ip);
  SendMessageA(ip, EM_SETSEL, 100, 100);
  SendMessageA(ip, WM_CHAR, '1', 0);
  EXPECT_EQ(panel->E_IP->text(), "10.0.0.71");

  // Leaving an edit runs its exit handler, which checks the number typed.
  HWND gps = native_of(form, panel->E_GPS);
  SetFocus(gps);
  EXPECT_TRUE(panel->E_GPS->focused);
  SetWindowTextA(gps, "12a");
  SetFocus(ip);
  EXPECT_FALSE(panel->E_GPS->focused);
  auto boxes = ui::message_boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "'12a' is not a valid integer value");
}

TEST_F(RenderTest, ModelChangesReachTheNativeControlsWithoutFeedback) {
  HWND form = show_panel();
  ASSERT_NE(form, nullptr);
  HWND set = native_of(form, panel->B_CLKSet);
  HWND locked = native_of(form, panel->CB_Locked);
  HWND sontop = native_of(form, panel->CB_Sontop);
  HWND ant2 = native_of(form, panel->C_Ant2);
  HWND ip = native_of(form, panel->E_IP);
  HWND firm = native_of(form, panel->L_Firm);
  HWND usb1 = native_of(form, panel->C_USB1);
  ASSERT_TRUE(set && locked && sontop && ant2 && ip && firm && usb1);
  int firm_width = width_of(firm);

  // Changed by code, as the handlers and the status display do, with no event to tell.
  panel->B_CLKSet->caption = "Go";
  panel->CB_Locked->enabled = false;
  panel->CB_Sontop->set_checked(true);
  panel->C_Ant2->set_item_index(3);
  panel->C_USB1->items = {"2", "4"};
  panel->C_USB1->set_item_index(1);
  panel->E_IP->set_text("192.168.7.7");
  panel->L_Firm->caption = "KMV410B V1.23 (test build)";
  EXPECT_TRUE(pump_until([&] {
    return text_of(set) == "Go" && !IsWindowEnabled(locked) && checked(sontop) &&
           SendMessageA(ant2, CB_GETCURSEL, 0, 0) == 3 && text_of(ip) == "192.168.7.7" &&
           text_of(firm) == panel->L_Firm->caption && SendMessageA(usb1, CB_GETCOUNT, 0, 0) == 2 &&
           SendMessageA(usb1, CB_GETCURSEL, 0, 0) == 1;
  }));
  // The edit's own change notification is not taken for typing.
  EXPECT_FALSE(panel->E_IP->modified);
  // A label grows with its caption.
  EXPECT_GT(width_of(firm), firm_width);

  // A disabled group disables what it holds; moved and hidden controls follow.
  HWND tcp = native_of(form, panel->RB_TCP);
  HWND conn = native_of(form, panel->B_Conn);
  HWND bset = native_of(form, panel->B_Set);
  ASSERT_TRUE(tcp && conn && bset);
  ASSERT_TRUE(IsWindowEnabled(tcp));
  panel->RG_LAN->enabled = false;
  panel->B_Conn->left += 5;
  panel->B_Set->visible = false;
  EXPECT_TRUE(pump_until([&] {
    return !IsWindowEnabled(tcp) && rect_in_parent(conn).left == panel->B_Conn->left &&
           !IsWindowVisible(bset);
  }));
}

// Counts what the renderer writes to one native control.
struct Spy {
  WNDPROC old = nullptr;
  int texts = 0, checks = 0, moves = 0, enables = 0;

  static LRESULT CALLBACK proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    auto* spy = static_cast<Spy*>(GetPropA(h, "spy"));
    if (msg == WM_SETTEXT) ++spy->texts;
    if (msg == BM_SETCHECK) ++spy->checks;
    if (msg == WM_WINDOWPOSCHANGING) ++spy->moves;
    if (msg == WM_ENABLE) ++spy->enables;
    return CallWindowProcA(spy->old, h, msg, wp, lp);
  }
  void attach(HWND h) {
    SetPropA(h, "spy", this);
    old = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Spy::proc)));
  }
  static void detach(HWND h, const Spy& spy) {
    SetWindowLongPtrA(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(spy.old));
    RemovePropA(h, "spy");
  }
};

TEST_F(RenderTest, AnUnchangedModelWritesNothingAndASyncIsCheap) {
  HWND form = show_panel();
  ASSERT_NE(form, nullptr);
  HWND firm = native_of(form, panel->L_Firm);
  HWND preamp = native_of(form, panel->CB_PreAmp);
  HWND ip = native_of(form, panel->E_IP);
  ASSERT_TRUE(firm && preamp && ip);
  Spy on_firm, on_preamp, on_ip;
  on_firm.attach(firm);
  on_preamp.attach(preamp);
  on_ip.attach(ip);

  // Showing a shown form only syncs it: each call is one walk over the whole panel.
  constexpr int kSyncs = 500;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kSyncs; ++i) panel->show();
  long long per_sync_us = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count() /
                          kSyncs;
  std::printf("one sync of the panel: %lld us\n", per_sync_us);
  EXPECT_LT(per_sync_us, 2000);
  pump(250);  // the timer's syncs too
  for (const Spy* spy : {&on_firm, &on_preamp, &on_ip}) {
    EXPECT_EQ(spy->texts + spy->checks + spy->moves + spy->enables, 0);
  }

  // One change, one write.
  panel->E_IP->set_text("10.1.1.1");
  panel->CB_PreAmp->set_checked(true);
  pump(250);
  EXPECT_EQ(on_ip.texts, 1);
  EXPECT_EQ(on_preamp.checks, 1);
  EXPECT_EQ(on_firm.texts, 0);
  Spy::detach(firm, on_firm);
  Spy::detach(preamp, on_preamp);
  Spy::detach(ip, on_ip);
}

TEST_F(RenderTest, ClosingHidesAndShowingAgainReusesTheWindow) {
  HWND form = show_panel();
  ASSERT_NE(form, nullptr);
  SendMessageA(form, WM_CLOSE, 0, 0);
  EXPECT_FALSE(panel->visible);
  EXPECT_FALSE(IsWindowVisible(form));
  EXPECT_TRUE(IsWindow(form));

  // Changes made while hidden are there when it shows again.
  panel->B_Adv->caption = "Later";
  panel->show();
  EXPECT_TRUE(IsWindowVisible(form));
  EXPECT_EQ(form_window("KMV410 Control"), form);
  EXPECT_EQ(text_of(native_of(form, panel->B_Adv)), "Later");

  panel->hide();
  EXPECT_FALSE(IsWindowVisible(form));
  panel->show();
  EXPECT_TRUE(IsWindowVisible(form));
  EXPECT_EQ(form_windows(), 1);
}

TEST_F(RenderTest, MixWindowFollowsADragOnThePlane) {
  HWND form = show_panel();
  ASSERT_NE(form, nullptr);
  F_Coord->show();
  HWND coord = form_window("Mix Channel 2");
  ASSERT_NE(coord, nullptr);
  EXPECT_EQ(GetWindow(coord, GW_OWNER), form);
  RECT client;
  GetClientRect(coord, &client);
  EXPECT_EQ(client.right, F_Coord->width);
  EXPECT_EQ(client.bottom, F_Coord->height);
  HWND mag = native_of(coord, F_Coord->E_Mag);
  ASSERT_NE(mag, nullptr);
  ASSERT_EQ(text_of(mag), F_Coord->E_Mag->text());

  // The grid lines and the marker lie over the plane but let the mouse through to it.
  std::string mag_before = F_Coord->E_Mag->text();
  int dot_left = F_Coord->S_Dot->left;
  POINT at = {F_Coord->S_Dot->left + 2, 200};
  SendMessageA(coord, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));
  SendMessageA(coord, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(at.x + 40, at.y));
  SendMessageA(coord, WM_LBUTTONUP, 0, MAKELPARAM(at.x + 40, at.y));
  EXPECT_NE(F_Coord->E_Mag->text(), mag_before);
  EXPECT_GT(F_Coord->S_Dot->left, dot_left);
  EXPECT_EQ(text_of(mag), F_Coord->E_Mag->text());
  // A move without the button is no drag.
  std::string mag_after = F_Coord->E_Mag->text();
  SendMessageA(coord, WM_MOUSEMOVE, 0, MAKELPARAM(at.x + 80, at.y));
  EXPECT_EQ(F_Coord->E_Mag->text(), mag_after);

  // The resolution groups are radio buttons whose text reads on the black form.
  HWND res = native_of(coord, F_Coord->RG_MagRes);
  ASSERT_NE(res, nullptr);
  HWND item = GetWindow(res, GW_CHILD);
  ASSERT_NE(item, nullptr);
  HDC dc = CreateCompatibleDC(nullptr);
  SendMessageA(res, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
               reinterpret_cast<LPARAM>(item));
  EXPECT_EQ(GetBkColor(dc), RGB(0, 0, 0));
  EXPECT_EQ(GetTextColor(dc), RGB(255, 255, 255));
  DeleteDC(dc);

  // The spin buttons step the magnitude; the wheel over its box does too.
  HWND box = native_of(coord, F_Coord->ScrollBox1);
  ASSERT_NE(box, nullptr);
  HWND up = child_at(box, "Button", F_Coord->SB_Mag->left, F_Coord->SB_Mag->top);
  ASSERT_NE(up, nullptr);
  SendMessageA(up, BM_CLICK, 0, 0);
  EXPECT_NE(F_Coord->E_Mag->text(), mag_after);
  EXPECT_EQ(text_of(mag), F_Coord->E_Mag->text());
  SendMessageA(box, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-WHEEL_DELTA)), 0);
  EXPECT_EQ(F_Coord->E_Mag->text(), mag_after);
}

TEST_F(RenderTest, UpdateWindowRunsModallyAndItsCloseButtonEndsIt) {
  HWND form = show_panel();
  ASSERT_NE(form, nullptr);
  { std::ofstream("fw.Bit") << "x"; }
  bool ran = false;
  // Runs inside the modal loop, as a user's clicks would.
  ui::post([&] {
    ran = true;
    HWND upd = form_window("KMV410 Firmware Update");
    ASSERT_NE(upd, nullptr);
    EXPECT_TRUE(IsWindowVisible(upd));
    EXPECT_EQ(GetWindow(upd, GW_OWNER), form);
    EXPECT_FALSE(IsWindowEnabled(form));  // the panel waits for the dialog
    // No title bar, so no close box: the dialog ends only through its own buttons.
    EXPECT_NE(GetWindowLongA(upd, GWL_STYLE) & WS_CAPTION, WS_CAPTION);
    RECT client;
    GetClientRect(upd, &client);
    EXPECT_EQ(client.right, 390);
    // Its title and the phase texts in bold, the phase text against its right edge.
    for (ui::Control* label : {F_Update->Label1, F_Update->L_Send, F_Update->L_Bytes}) {
      HWND h = native_of(upd, label);
      ASSERT_NE(h, nullptr);
      LOGFONTA font = {};
      GetObjectA(reinterpret_cast<HFONT>(SendMessageA(h, WM_GETFONT, 0, 0)), sizeof font, &font);
      EXPECT_GE(font.lfWeight, FW_BOLD) << label->name();
    }
    EXPECT_TRUE(GetWindowLongA(native_of(upd, F_Update->L_Send), GWL_STYLE) & SS_RIGHT);
    RECT r;
    GetWindowRect(upd, &r);
    EXPECT_EQ(r.left, F_Update->left);  // centred on the panel by the model
    // The panel sits in the screen's top-left corner: centred on it, the window (which has no
    // title bar to drag it by) would start above the screen.
    EXPECT_GE(r.top, 0);
    EXPECT_GE(r.left, 0);
    HWND files = native_of(upd, F_Update->FLB_File);
    ASSERT_NE(files, nullptr);
    ASSERT_EQ(SendMessageA(files, LB_GETCOUNT, 0, 0), 1);
    SendMessageA(files, LB_SETCURSEL, 0, 0);
    command(files, LBN_SELCHANGE);
    EXPECT_EQ(F_Update->FLB_File->item_text(), "fw.Bit");
    EXPECT_NE(native_of(upd, F_Update->PB_Sent), nullptr);
    EXPECT_NE(native_of(upd, F_Update->DriveComboBox1), nullptr);
    SendMessageA(native_of(upd, F_Update->B_Close), BM_CLICK, 0, 0);
  });
  EXPECT_EQ(F_Update->show_modal(), update::kModalResultClose);
  EXPECT_TRUE(ran);
  HWND upd = form_window("KMV410 Firmware Update");
  ASSERT_NE(upd, nullptr);
  EXPECT_FALSE(IsWindowVisible(upd));
  EXPECT_TRUE(IsWindowEnabled(form));
  std::filesystem::remove("fw.Bit");
}

TEST_F(RenderTest, DestroyingTheFormsLeavesNoWindow) {
  HWND form = show_panel();
  ASSERT_NE(form, nullptr);
  F_Coord->show();
  HWND coord = form_window("Mix Channel 2");
  HWND adv = native_of(form, panel->B_Adv);
  HWND mag = native_of(coord, F_Coord->E_Mag);
  ASSERT_TRUE(coord && adv && mag);
  // The focused edit holds no number: its exit handler must not run on a dying panel.
  HWND gps = native_of(form, panel->E_GPS);
  SetFocus(gps);
  SetWindowTextA(gps, "x");
  EXPECT_EQ(form_windows(), 2);
  F_RDR1 = nullptr;
  delete panel;
  panel = nullptr;
  for (HWND h : {form, coord, adv, mag}) EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(form_windows(), 0);
  pump(150);  // nothing left over fires
  EXPECT_TRUE(ui::message_boxes().empty());
}

// ---- Every kind on a form of its own ----

struct Counts {
  int change = 0, click = 0, up = 0, down = 0, exit = 0;
  std::vector<std::pair<int, int>> moves;
  ui::ShiftState shift = 0;
};

ui::Control* put(ui::Control* parent, ui::Kind kind, const char* name, int left, int top, int width,
                 int height) {
  ui::Control* c = parent->add(kind, name);
  c->left = left;
  c->top = top;
  c->width = width;
  c->height = height;
  return c;
}

TEST(RenderKinds, ListsGroupsSpinsShapesAndBars) {
  ui::adopt_this_thread();
  Counts n;
  HWND form_hwnd = nullptr;
  {
    ui::Control form(nullptr, ui::Kind::Form, "F_Kinds");
    form.caption = "Kinds";
    form.visible = false;
    form.width = 400;
    form.height = 300;
    auto* files = put(&form, ui::Kind::FileList, "Files", 10, 10, 100, 80);
    files->items = {"a.Bit", "b.Bit", "c.Bit"};
    files->on_change = [&](ui::Control*) { ++n.change; };
    auto* dirs = put(&form, ui::Kind::DirectoryList, "Dirs", 120, 10, 100, 80);
    dirs->items = {"..", "sub"};
    auto* group = put(&form, ui::Kind::GroupBox, "Group", 230, 10, 100, 84);
    group->caption = "Resolution";
    group->items = {"0.1", "0.01", "0.001"};
    group->set_item_index(2);
    auto* spin = put(&form, ui::Kind::SpinButton, "Spin", 10, 100, 18, 22);
    spin->on_up_click = [&](ui::Control*) { ++n.up; };
    spin->on_down_click = [&](ui::Control*) { ++n.down; };
    auto* clk = put(&form, ui::Kind::SpinEdit, "Clk", 40, 100, 60, 21);
    clk->min = 70;
    clk->max = 200;
    clk->set_text("200");
    auto* bar = put(&form, ui::Kind::ProgressBar, "Bar", 10, 130, 200, 17);
    auto* plane = put(&form, ui::Kind::Shape, "Plane", 10, 160, 100, 100);
    plane->on_mouse_move = [&](ui::Control*, ui::ShiftState s, int x, int y) {
      n.moves.push_back({x, y});
      n.shift = s;
    };
    auto* lid = put(&form, ui::Kind::Shape, "Lid", 10, 160, 50, 50);  // disabled: lets through
    lid->enabled = false;
    auto* hidden = put(&form, ui::Kind::Button, "Hidden", 200, 200, 50, 20);
    hidden->visible = false;

    form.show();
    form_hwnd = form_window("Kinds");
    ASSERT_NE(form_hwnd, nullptr);

    // File list: items, selection by the user.
    HWND fl = native_of(form_hwnd, files);
    ASSERT_NE(fl, nullptr);
    EXPECT_EQ(SendMessageA(fl, LB_GETCOUNT, 0, 0), 3);
    SendMessageA(fl, LB_SETCURSEL, 1, 0);
    command(fl, LBN_SELCHANGE);
    EXPECT_EQ(files->item_index(), 1);
    EXPECT_EQ(n.change, 1);
    files->items = {"only.Bit"};
    files->set_item_index(-1);
    EXPECT_TRUE(pump_until([&] { return SendMessageA(fl, LB_GETCOUNT, 0, 0) == 1; }));
    EXPECT_EQ(SendMessageA(fl, LB_GETCURSEL, 0, 0), LB_ERR);

    // Directory list: a single click marks, a double click opens.
    HWND dl = native_of(form_hwnd, dirs);
    SendMessageA(dl, LB_SETCURSEL, 1, 0);
    command(dl, LBN_SELCHANGE);
    EXPECT_EQ(dirs->item_index(), -1);
    pump(150);
    EXPECT_EQ(SendMessageA(dl, LB_GETCURSEL, 0, 0), 1);  // the sync leaves the mark alone
    command(dl, LBN_DBLCLK);
    EXPECT_EQ(dirs->item_index(), 1);

    // Radio group: the items are radio buttons in the box.
    HWND gb = native_of(form_hwnd, group);
    ASSERT_NE(gb, nullptr);
    std::vector<HWND> radios;
    for (HWND h = GetWindow(gb, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) radios.push_back(h);
    ASSERT_EQ(radios.size(), 3u);
    std::sort(radios.begin(), radios.end(),
              [](HWND a, HWND b) { return rect_in_parent(a).top < rect_in_parent(b).top; });
    EXPECT_EQ(text_of(radios[0]), "0.1");
    EXPECT_TRUE(checked(radios[2]));
    SendMessageA(radios[0], BM_CLICK, 0, 0);
    EXPECT_EQ(group->item_index(), 0);
    EXPECT_TRUE(checked(radios[0]));
    EXPECT_FALSE(checked(radios[2]));
    group->set_item_index(1);
    EXPECT_TRUE(pump_until([&] { return checked(radios[1]) && !checked(radios[0]); }));

    // Spin button: two arrows, each with its handler.
    HWND up = child_at(form_hwnd, "Button", 10, 100);
    HWND down = child_at(form_hwnd, "Button", 10, 111);
    ASSERT_TRUE(up && down);
    SendMessageA(up, BM_CLICK, 0, 0);
    SendMessageA(down, BM_CLICK, 0, 0);
    SendMessageA(down, BM_CLICK, 0, 0);
    EXPECT_EQ(n.up, 1);
    EXPECT_EQ(n.down, 2);

    // Spin edit: its arrows step the value within its bounds.
    HWND clk_edit = native_of(form_hwnd, clk);
    ASSERT_NE(clk_edit, nullptr);
    RECT er = rect_in_parent(clk_edit);
    HWND clk_down = child_at(form_hwnd, "Button", er.right, 100 + 21 / 2);
    HWND clk_up = child_at(form_hwnd, "Button", er.right, 100);
    ASSERT_TRUE(clk_up && clk_down);
    SendMessageA(clk_up, BM_CLICK, 0, 0);
    EXPECT_EQ(clk->text(), "200");
    SendMessageA(clk_down, BM_CLICK, 0, 0);
    EXPECT_EQ(clk->text(), "199");
    EXPECT_EQ(text_of(clk_edit), "199");

    // Progress bar: a window of its own that a position change repaints.
    EXPECT_NE(native_of(form_hwnd, bar), nullptr);
    bar->set_position(50);
    pump(150);

    // Shapes: the disabled lid passes the mouse to the plane below; moves come in the plane's
    // coordinates with the buttons held, also outside it while the button is down.
    SendMessageA(form_hwnd, WM_MOUSEMOVE, MK_LBUTTON | MK_SHIFT, MAKELPARAM(20, 170));
    SendMessageA(form_hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 170));
    SendMessageA(form_hwnd, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(300, 290));
    SendMessageA(form_hwnd, WM_LBUTTONUP, 0, MAKELPARAM(300, 290));
    SendMessageA(form_hwnd, WM_MOUSEMOVE, 0, MAKELPARAM(300, 290));  // outside, no button
    ASSERT_EQ(n.moves.size(), 2u);
    EXPECT_EQ(n.moves[0], std::make_pair(10, 10));
    EXPECT_EQ(n.moves[1], std::make_pair(290, 130));
    EXPECT_EQ(n.shift, ui::kLeftButton);

    // A hidden control has a hidden window; showing it shows the window.
    HWND hb = child_at(form_hwnd, "Button", 200, 200);
    ASSERT_NE(hb, nullptr);
    EXPECT_FALSE(IsWindowVisible(hb));
    hidden->visible = true;
    EXPECT_TRUE(pump_until([&] { return IsWindowVisible(hb) != FALSE; }));
  }
  EXPECT_FALSE(IsWindow(form_hwnd));
  EXPECT_EQ(form_windows(), 0);
}

// Only the owning thread may destroy a window: a form destroyed elsewhere (library unload) leaves
// its windows to the system, which closes them when the user-interface thread pumps.
TEST(RenderKinds, FormDestroyedOnAnotherThreadClosesWhenTheUiThreadPumps) {
  ui::adopt_this_thread();
  auto form = std::make_unique<ui::Control>(nullptr, ui::Kind::Form, "F_Gone");
  form->caption = "Gone";
  form->visible = false;
  form->width = 200;
  form->height = 100;
  put(form.get(), ui::Kind::Edit, "E_Gone", 10, 10, 80, 21)->on_exit = [](ui::Control*) {
    ADD_FAILURE() << "exit handler of a destroyed form";
  };
  form->show();
  HWND h = form_window("Gone");
  ASSERT_NE(h, nullptr);
  SetFocus(GetWindow(h, GW_CHILD));
  std::thread([&] { form.reset(); }).join();
  EXPECT_TRUE(pump_until([&] { return !IsWindow(h); }));
  EXPECT_EQ(form_windows(), 0);
}

}  // namespace
