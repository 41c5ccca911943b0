// Windowing toolkit layer: a toolkit-neutral control model and the user-interface event loop.
//
// Controls carry the properties the panel handlers use and one handler per event, with the
// toolkit semantics those handlers rely on: setting a value from code runs the change/click
// handler when the value actually changes (a radio button only when it becomes checked; a
// combo box's item index never). User actions (click, type, move, select) are separate calls so
// that tests and the native backend drive the same paths a user would.
//
// Everything here runs on the user-interface thread, except post(), run_on_ui() and the
// message-box record, which any thread may use.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ui {

enum class Kind {
  Form,
  Panel,
  GroupBox,
  Label,
  Edit,
  CheckBox,
  RadioButton,
  ComboBox,
  ScrollBar,
  SpinEdit,
  SpinButton,  // up/down arrows without a value of their own
  Shape,
  Button,
  ToggleButton,
  ProgressBar,
  FileList,
  DriveList,      // drives of the file system (one root where there are no drives)
  DirectoryList,  // sub-folders of `directory`
  Timer,
};

// Colours as 0xRRGGBB.
using Color = uint32_t;
constexpr Color kTeal = 0x008080;
constexpr Color kSkyBlue = 0xA6CAF0;
constexpr Color kMoneyGreen = 0xC0DCC0;
constexpr Color kSilver = 0xC0C0C0;
constexpr Color kWhite = 0xFFFFFF;
constexpr Color kYellow = 0xFFFF00;
constexpr Color kRed = 0xFF0000;
constexpr Color kGreen = 0x008000;
constexpr Color kButtonFace = 0xF0F0F0;
constexpr Color kBlack = 0x000000;
constexpr Color kNavy = 0x000080;
constexpr Color kLime = 0x00FF00;

class Control;
using Handler = std::function<void(Control* sender)>;

// Mouse buttons and modifier keys held during a mouse event.
using ShiftState = uint32_t;
constexpr ShiftState kShiftKey = 0x01, kAltKey = 0x02, kCtrlKey = 0x04;
constexpr ShiftState kLeftButton = 0x08, kRightButton = 0x10, kMiddleButton = 0x20;
constexpr ShiftState kTouch = 0x40;  // the event comes from touch input
// x, y in pixels from the control's top-left corner.
using MouseHandler = std::function<void(Control* sender, ShiftState shift, int x, int y)>;
// A wheel handler sets *handled to keep the event from reaching the parent.
using WheelHandler = std::function<void(Control* sender, bool* handled)>;

// How a shape is drawn.
enum class ShapeType { Rectangle, Square, Circle };
struct ShapeStyle {
  ShapeType type = ShapeType::Rectangle;
  Color pen = kBlack;   // outline; the fill is the control's color
  bool dotted = false;  // dotted outline
  bool hollow = false;  // outline only, no fill
};

class Control {
 public:
  Control(Control* parent, Kind kind, std::string name);
  virtual ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  const std::string& name() const { return name_; }
  Kind kind() const { return kind_; }
  Control* parent() const { return parent_; }
  const std::vector<std::unique_ptr<Control>>& children() const { return children_; }
  // Depth-first search of this control's subtree by name; nullptr when absent.
  Control* find(const std::string& name);

  // Create a child control owned by this one.
  Control* add(Kind kind, const std::string& name);
  // Take ownership of a control created by the caller (timers, sub-classed controls).
  template <class T>
  T* adopt(std::unique_ptr<T> child) {
    T* raw = child.get();
    children_.push_back(std::move(child));
    return raw;
  }

  // Plain properties: no event is tied to them.
  std::string caption;  // labels, buttons, check boxes, forms
  bool enabled = true;
  bool visible = true;
  bool read_only = false;    // edits
  bool modified = false;     // edits: set by user typing, cleared by code that consumes it
  bool flat = false;         // toggle buttons
  bool focused = false;      // edits: has the input focus
  bool stay_on_top = false;  // forms
  bool title_bar = true;     // forms: false for a bordered window without a title bar
  int tag = 0;
  Color color = kButtonFace;
  Color font_color = kBlack;
  bool centered = false;       // edits, labels: text centred
  bool right_aligned = false;  // labels: text against the right edge
  bool bold = false;           // labels
  bool numbers_only = false;   // edits: typing accepts digits only
  ShapeStyle shape;            // shapes
  int left = 0, top = 0, width = 0, height = 0;
  int max_length = 0;              // edits, 0 = no limit
  int min = 0, max = 100;          // scroll bars, spin edits, progress bars
  int page_size = 0;               // scroll bars: nonzero marks a move made by code
  std::vector<std::string> items;  // combo boxes, file lists
  std::string mask;                // file lists: name filter such as "*.Bit"
  std::string directory;           // file lists

  // Event handlers.
  Handler on_click, on_change, on_dbl_click, on_exit;
  Handler on_up_click, on_down_click;  // spin buttons
  MouseHandler on_mouse_move;
  WheelHandler on_mouse_wheel_up, on_mouse_wheel_down;

  // Values with toolkit event semantics.
  bool checked() const { return checked_; }
  // Check boxes fire on_click on every change; radio buttons uncheck their siblings and fire
  // on_click only when they become checked.
  void set_checked(bool value);
  const std::string& text() const { return text_; }
  // Edits and spin edits fire on_change when the text changes.
  void set_text(const std::string& value);
  int position() const { return position_; }
  // Scroll bars and progress bars: clamped to [min, max]; scroll bars fire on_change when the
  // position changes.
  void set_position(int value);
  int item_index() const { return item_index_; }
  // Combo boxes and file lists: never fires an event. -1 = no selection.
  void set_item_index(int value);
  std::string item_text() const;
  // Spin edits: the value of the text, min when it is not a number.
  int value() const;
  // Spin edits: clamped to [min, max] when min < max, written as text (fires on_change).
  void set_value(int value);
  // Toggle buttons: down or up; set from code without an event.
  bool down() const { return down_; }
  void set_down(bool value) { down_ = value; }

  // User actions.
  void click();                             // buttons, check boxes, radio buttons, toggle buttons
  void dbl_click();                         // labels
  void user_type(const std::string& text);  // edits, spin edits: modified, then the text
  void user_move(int position);             // scroll bars
  void user_select(int index);              // combo boxes: index, then on_change
  void focus();                             // edits: take the input focus
  void leave();                             // edits: lose the input focus (fires on_exit)
  // Spin buttons.
  void click_up() {
    if (enabled && on_up_click) on_up_click(this);
  }
  void click_down() {
    if (enabled && on_down_click) on_down_click(this);
  }
  void mouse_move(ShiftState shift, int x, int y) {
    if (enabled && on_mouse_move) on_mouse_move(this, shift, x, y);
  }
  // One wheel notch (delta > 0 away from the user); true when a handler took it.
  bool mouse_wheel(int delta) {
    bool handled = false;
    const WheelHandler& h = delta > 0 ? on_mouse_wheel_up : on_mouse_wheel_down;
    if (enabled && h) h(this, &handled);
    return handled;
  }

  // Forms.
  // Where a native backend draws the forms (Windows), these show, hide and raise the form's
  // window; destroying a form destroys its windows.
  void show();  // fires on_show when the form becomes visible
  void hide();
  void bring_to_front();
  Handler on_show;
  // Show modally: pump the event loop until the form is hidden or closed with a modal result,
  // `cancelled` returns true, or limit_ms have passed (headless, nobody may ever close it); the
  // form is hidden on return. Returns the modal result, 0 when it ended otherwise. A form that is
  // already visible returns 0 at once.
  int show_modal(int limit_ms, const std::function<bool()>& cancelled = {});
  // End a modal show with this result; a form shown without show_modal is hidden.
  void close_modal(int result);
  int modal_result = 0;

 private:
  Control* parent_;
  Kind kind_;
  std::string name_;
  std::vector<std::unique_ptr<Control>> children_;
  bool checked_ = false;
  bool down_ = false;
  std::string text_;
  int position_ = 0;
  int item_index_ = -1;
};

// One-shot or periodic timer; ticks on the user-interface thread while enabled. A handler that
// wants a one-shot timer stops it.
class Timer : public Control {
 public:
  Timer(Control* parent, std::string name, int interval_ms, bool enabled);
  ~Timer() override;
  int interval() const { return interval_; }
  // Setting the interval restarts a running timer, as the toolkit does.
  void set_interval(int ms);
  bool is_enabled() const { return enabled_; }
  void set_enabled(bool on);
  Handler on_timer;

  // Used by the event loop.
  long long due_ms = 0;

 private:
  int interval_;
  bool enabled_ = false;
};

// ---- Event loop ----

// Queue fn to run on the user-interface thread (any thread may call).
void post(std::function<void()> fn);
// Run every pending message and every due timer, then return.
void process_messages();
// Run one message or due timer, waiting for the next one when none is pending; the wait is
// bounded (limit_ms) so that a pump never blocks for ever.
constexpr int kHandleMessageLimitMs = 1000;
void handle_message(int limit_ms = kHandleMessageLimitMs);
// True on the user-interface thread.
bool on_ui_thread();

// Plug-in code running on the user-interface thread: every marshalled call (run_on_ui), pump,
// timer handler and native control event counts one level while it runs. Code that must not run
// under a handler still on the stack (the panel's teardown) runs only at depth 0 or 1.
int handler_depth();
class HandlerScope {
 public:
  HandlerScope();
  ~HandlerScope();
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;
};
// Run fn on the user-interface thread once no handler is running (from the loop's top level):
// for work that must not happen under a handler that is still on the stack.
void post_idle(std::function<void()> fn);
// Called on the user-interface thread after every message, timer and native event handled at
// any depth (the plug-in mirrors what other threads may read of its panel).
void set_after_event(void (*fn)());
// Run fn on the user-interface thread and wait for it, at most limit_ms; true when it ran. A call
// already on that thread runs directly (re-entrant calls from inside a notification callback). On
// POSIX the plug-in owns the thread and starts it on first use; on Windows the caller's thread is
// the user-interface thread. fn may refer to the caller's stack: once the wait has given up (or a
// shutdown ended it), fn is never run.
constexpr int kMarshalLimitMs = 10000;
bool run_on_ui(const std::function<void()>& fn, int limit_ms = kMarshalLimitMs);
// Wait on the user-interface thread until done() or ms have passed, polling every few
// milliseconds, without running the plug-in's own messages or timers (no handler can run nested
// in the waiter); on Windows, messages that other threads send to the thread's windows are served
// meanwhile, so a host callback that sends to the host's window cannot block the wait. True when
// done() held.
bool wait_until(int ms, const std::function<bool()>& done);
// Make the calling thread the user-interface thread when none exists yet (unit tests).
void adopt_this_thread();
// Stop the plug-in-owned user-interface thread (library unload); waits at most ms. True when no
// thread of ours is left running our code.
bool shutdown(int ms);

// ---- Message boxes ----

struct MessageRecord {
  std::string caption;
  std::string text;
};
// A modal notice with an OK button. Headless: recorded and written to stderr, never blocks.
void message_box(const std::string& text, const std::string& caption);
// Every message box shown so far (headless record), and clearing it.
std::vector<MessageRecord> message_boxes();
void clear_message_boxes();
// While suppressed (process detach under the loader lock) message boxes are recorded only.
void suppress_message_boxes(bool on);

}  // namespace ui
