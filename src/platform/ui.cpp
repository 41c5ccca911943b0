// Control model: properties and the toolkit's event semantics. The event loop lives in the
// platform backends (loop_posix.cpp, loop_win32.cpp).
#include "platform/ui.h"

#include <algorithm>
#include <charconv>

#include "platform/tasks.h"

namespace ui {

void register_timer(Timer* t);    // loop backends
void unregister_timer(Timer* t);  // loop backends
void reschedule_timer(Timer* t);  // loop backends

// Rendering backends: forms drawn with native controls (render_win32.cpp) or none at all.
namespace detail {
void native_show(Control* c);
void native_hide(Control* c);
void native_raise(Control* c);
void native_modal(Control* c, bool on);
void native_destroy(Control* c);
}  // namespace detail

Control::Control(Control* parent, Kind kind, std::string name)
    : parent_(parent), kind_(kind), name_(std::move(name)) {}

Control::~Control() {
  detail::native_destroy(this);
}

Control* Control::find(const std::string& name) {
  if (name_ == name) return this;
  for (auto& c : children_) {
    if (Control* hit = c->find(name)) return hit;
  }
  return nullptr;
}

Control* Control::add(Kind kind, const std::string& name) {
  children_.push_back(std::make_unique<Control>(this, kind, name));
  return children_.back().get();
}

void Control::set_checked(bool value) {
  if (checked_ == value) return;
  checked_ = value;
  if (kind_ == Kind::RadioButton) {
    if (!value) return;
    if (parent_) {
      for (auto& sibling : parent_->children_) {
        if (sibling.get() != this && sibling->kind_ == Kind::RadioButton) sibling->checked_ = false;
      }
    }
  }
  if (on_click) on_click(this);
}

void Control::set_text(const std::string& value) {
  if (text_ == value) return;
  text_ = value;
  if ((kind_ == Kind::Edit || kind_ == Kind::SpinEdit) && on_change) on_change(this);
}

void Control::set_position(int value) {
  value = std::clamp(value, min, std::max(min, max));
  if (position_ == value) return;
  position_ = value;
  if (kind_ == Kind::ScrollBar && on_change) on_change(this);
}

void Control::set_item_index(int value) {
  int count = static_cast<int>(items.size());
  item_index_ = (value >= 0 && value < count) ? value : -1;
}

std::string Control::item_text() const {
  if (item_index_ < 0 || item_index_ >= static_cast<int>(items.size())) return {};
  return items[static_cast<size_t>(item_index_)];
}

int Control::value() const {
  int v = 0;
  const char* b = text_.data();
  const char* e = b + text_.size();
  auto [p, ec] = std::from_chars(b, e, v);
  if (ec != std::errc() || p != e) return min;
  return v;
}

void Control::set_value(int value) {
  if (min < max) value = std::clamp(value, min, max);
  set_text(std::to_string(value));
}

void Control::click() {
  if (!enabled) return;
  switch (kind_) {
    case Kind::CheckBox:
      set_checked(!checked_);
      break;
    case Kind::RadioButton:
      set_checked(true);
      break;
    case Kind::ToggleButton:
      down_ = !down_;
      if (on_click) on_click(this);
      break;
    default:
      if (on_click) on_click(this);
      break;
  }
}

void Control::dbl_click() {
  if (enabled && on_dbl_click) on_dbl_click(this);
}

void Control::user_type(const std::string& text) {
  if (!enabled || read_only) return;
  modified = true;
  set_text(text);
}

void Control::user_move(int position) {
  if (!enabled) return;
  set_position(position);
}

void Control::user_select(int index) {
  if (!enabled) return;
  set_item_index(index);
  if (on_change) on_change(this);
}

void Control::focus() {
  focused = true;
}

void Control::leave() {
  if (!focused) return;
  focused = false;
  if (on_exit) on_exit(this);
}

void Control::show() {
  if (!visible) {
    visible = true;
    if (on_show) on_show(this);
  }
  detail::native_show(this);
}
void Control::hide() {
  visible = false;
  detail::native_hide(this);
}
void Control::bring_to_front() {
  detail::native_raise(this);
}

int Control::show_modal(int limit_ms, const std::function<bool()>& cancelled) {
  if (visible) return 0;
  modal_result = 0;
  show();
  detail::native_modal(this, true);
  long long end = tasks::now_ms() + limit_ms;
  while (visible && modal_result == 0 && tasks::now_ms() < end && !(cancelled && cancelled())) {
    handle_message();
  }
  detail::native_modal(this, false);
  hide();
  return modal_result;
}

void Control::close_modal(int result) {
  modal_result = result;
  hide();
}

Timer::Timer(Control* parent, std::string name, int interval_ms, bool enabled)
    : Control(parent, Kind::Timer, std::move(name)), interval_(interval_ms) {
  register_timer(this);
  set_enabled(enabled);
}

Timer::~Timer() {
  unregister_timer(this);
}

void Timer::set_interval(int ms) {
  interval_ = ms;
  if (enabled_) reschedule_timer(this);
}

void Timer::set_enabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  if (on) reschedule_timer(this);
}

}  // namespace ui
