// Control semantics the panel handlers rely on, and the event loop's timers, waits and
// marshalling.
#include "platform/ui.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/tasks.h"

namespace {

struct UiTest : ::testing::Test {
  // Every test body runs on the loop's thread, like the plug-in's handlers.
  static void on_ui(const std::function<void()>& fn) { ui::run_on_ui(fn); }
};

TEST_F(UiTest, ValuesSetFromCodeFireHandlersOnlyOnChange) {
  on_ui([] {
    ui::Control form(nullptr, ui::Kind::Form, "F");
    ui::Control* edit = form.add(ui::Kind::Edit, "E");
    ui::Control* bar = form.add(ui::Kind::ScrollBar, "TB");
    ui::Control* combo = form.add(ui::Kind::ComboBox, "C");
    ui::Control* box = form.add(ui::Kind::CheckBox, "CB");
    int edits = 0, moves = 0, combos = 0, clicks = 0;
    edit->on_change = [&](ui::Control*) { ++edits; };
    bar->on_change = [&](ui::Control*) { ++moves; };
    combo->on_change = [&](ui::Control*) { ++combos; };
    box->on_click = [&](ui::Control*) { ++clicks; };

    edit->set_text("a");
    edit->set_text("a");
    EXPECT_EQ(edits, 1);
    EXPECT_FALSE(edit->modified);
    edit->user_type("b");
    EXPECT_EQ(edits, 2);
    EXPECT_TRUE(edit->modified);

    bar->max = 35;
    bar->set_position(40);  // clamped to the range
    EXPECT_EQ(bar->position(), 35);
    bar->set_position(35);
    EXPECT_EQ(moves, 1);

    combo->items = {"2", "4"};
    combo->set_item_index(1);  // a selector's index set from code never fires
    EXPECT_EQ(combos, 0);
    combo->set_item_index(7);
    EXPECT_EQ(combo->item_index(), -1);
    combo->user_select(0);
    EXPECT_EQ(combos, 1);

    box->set_checked(true);
    box->set_checked(false);
    box->set_checked(false);
    EXPECT_EQ(clicks, 2);
    box->enabled = false;
    box->click();  // a disabled control ignores the user
    EXPECT_EQ(clicks, 2);
  });
}

TEST_F(UiTest, RadioButtonsUncheckSiblingsAndFireOnlyWhenChecked) {
  on_ui([] {
    ui::Control form(nullptr, ui::Kind::Form, "F");
    ui::Control* group = form.add(ui::Kind::GroupBox, "G");
    ui::Control* a = group->add(ui::Kind::RadioButton, "A");
    ui::Control* b = group->add(ui::Kind::RadioButton, "B");
    ui::Control* other = form.add(ui::Kind::RadioButton, "O");  // another group
    int a_clicks = 0, b_clicks = 0;
    a->on_click = [&](ui::Control*) { ++a_clicks; };
    b->on_click = [&](ui::Control*) { ++b_clicks; };
    other->set_checked(true);
    a->set_checked(true);
    b->click();
    EXPECT_FALSE(a->checked());
    EXPECT_TRUE(b->checked());
    EXPECT_TRUE(other->checked());
    EXPECT_EQ(a_clicks, 1);  // unchecking A by B's click does not run A's handler
    EXPECT_EQ(b_clicks, 1);
    b->click();  // already checked: no change, no event
    EXPECT_EQ(b_clicks, 1);
  });
}

TEST_F(UiTest, SpinEditValueParsesTextAndClampsWhenSetFromCode) {
  on_ui([] {
    ui::Control form(nullptr, ui::Kind::Form, "F");
    ui::Control* spin = form.add(ui::Kind::SpinEdit, "SB");
    spin->min = 70;
    spin->max = 200;
    spin->user_type("250");  // typed values are clamped by whoever reads them
    EXPECT_EQ(spin->value(), 250);
    spin->set_value(250);
    EXPECT_EQ(spin->text(), "200");
    spin->user_type("x1");
    EXPECT_EQ(spin->value(), 70);
  });
}

TEST_F(UiTest, TimersTickPeriodicallyAndStopWhenDisabled) {
  on_ui([] {
    ui::Control form(nullptr, ui::Kind::Form, "F");
    auto* t = form.adopt(std::make_unique<ui::Timer>(&form, "T", 20, true));
    int ticks = 0;
    t->on_timer = [&](ui::Control*) {
      if (++ticks == 3) t->set_enabled(false);
    };
    long long start = tasks::now_ms();
    while (tasks::now_ms() - start < 300) ui::handle_message();
    EXPECT_EQ(ticks, 3);
  });
}

TEST_F(UiTest, HandleMessageWaitIsBoundedWithoutTimers) {
  on_ui([] {
    long long start = tasks::now_ms();
    ui::handle_message();
    long long took = tasks::now_ms() - start;
    EXPECT_LE(took, ui::kHandleMessageLimitMs + 200);
  });
}

TEST_F(UiTest, CallsFromOtherThreadsRunOnTheLoopAndReentrantCallsRunDirectly) {
  std::thread::id loop_id;
  on_ui([&] { loop_id = std::this_thread::get_id(); });
  EXPECT_NE(loop_id, std::this_thread::get_id());

  // A call made while the loop pumps inside a handler runs inside that pump.
  std::atomic<bool> ran{false};
  std::thread other([&] {
    ui::run_on_ui([&] {
      EXPECT_EQ(std::this_thread::get_id(), loop_id);
      ui::run_on_ui([&] { ran = true; });  // already on the loop: direct
    });
  });
  on_ui([&] {
    long long start = tasks::now_ms();
    while (!ran && tasks::now_ms() - start < 2000) ui::handle_message();
  });
  other.join();
  EXPECT_TRUE(ran);
}

// A caller that stops waiting for a busy loop gets false, and its call (which may refer to the
// caller's stack) never runs afterwards; handlers and marshalled calls count as handler depth.
TEST_F(UiTest, MarshalledCallThatTimesOutNeverRunsLaterAndHandlersCountAsDepth) {
  ui::post([] { tasks::sleep_ms(400); });  // the loop is busy
  tasks::sleep_ms(20);
  std::atomic<bool> ran{false};
  {
    int on_the_callers_stack = 0;
    EXPECT_FALSE(ui::run_on_ui(
        [&] {
          on_the_callers_stack = 1;
          ran = true;
        },
        100));
    EXPECT_EQ(on_the_callers_stack, 0);
  }
  tasks::sleep_ms(600);
  EXPECT_FALSE(ran.load());
  int depth = -1, nested = -1;
  EXPECT_TRUE(ui::run_on_ui([&] {
    depth = ui::handler_depth();
    ui::run_on_ui([&] { nested = ui::handler_depth(); });
  }));
  EXPECT_EQ(depth, 1);
  EXPECT_EQ(nested, 2);
}

TEST_F(UiTest, MessageBoxesAreRecordedAndNeverBlock) {
  ui::clear_message_boxes();
  ui::message_box("USB-Task didn't stop!", "Close USB");
  auto boxes = ui::message_boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "Close USB");
  EXPECT_EQ(boxes[0].text, "USB-Task didn't stop!");
}

}  // namespace
