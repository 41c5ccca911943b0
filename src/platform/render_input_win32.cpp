// Native rendering (Win32): native input to the model's user actions. A notification that the
// renderer's own writes cause (while a sync runs) is no user input and is dropped.
#include <algorithm>

#include "platform/render_win32.h"

namespace ui::render {

namespace {

std::string window_text(HWND h) {
  std::string text(static_cast<size_t>(std::max(0, GetWindowTextLengthA(h))), '\0');
  if (!text.empty()) {
    int got = GetWindowTextA(h, text.data(), static_cast<int>(text.size()) + 1);
    text.resize(static_cast<size_t>(std::max(0, got)));
  }
  return text;
}

ShiftState shift_of(WPARAM wp) {
  ShiftState s = 0;
  if (wp & MK_SHIFT) s |= kShiftKey;
  if (wp & MK_CONTROL) s |= kCtrlKey;
  if (GetKeyState(VK_MENU) < 0) s |= kAltKey;
  if (wp & MK_LBUTTON) s |= kLeftButton;
  if (wp & MK_RBUTTON) s |= kRightButton;
  if (wp & MK_MBUTTON) s |= kMiddleButton;
  return s;
}

// The topmost shape under a point; disabled shapes let the mouse through to what lies below.
Node* shape_at(Node& parent, int x, int y) {
  for (auto it = parent.children.rbegin(); it != parent.children.rend(); ++it) {
    Node& n = **it;
    const Control& c = *n.c;
    if (n.hwnd || c.kind() != Kind::Shape || !c.visible || !c.enabled) continue;
    if (x >= c.left && x < c.left + c.width && y >= c.top && y < c.top + c.height) return &n;
  }
  return nullptr;
}

}  // namespace

void command(Node& n, HWND from, UINT code) {
  Control* c = n.c;
  bool syncing = st().sync_depth > 0;
  switch (c->kind()) {
    case Kind::Edit:
    case Kind::SpinEdit:
      if (from == n.up || from == n.down) {
        if (code != BN_CLICKED || syncing) return;
        int step = from == n.up ? 1 : -1;
        act([c, step] {
          if (c->enabled && !c->read_only) c->set_value(c->value() + step);
        });
      } else if (code == EN_CHANGE && !syncing) {
        n.text = window_text(from);
        std::string typed = n.text;
        act([c, &typed] { c->user_type(typed); });
      } else if (code == EN_SETFOCUS) {
        c->focus();
      } else if (code == EN_KILLFOCUS) {
        if (!syncing) return act([c] { c->leave(); });
        // Focus lost because a sync hid or disabled the edit: the handler runs after the sync.
        post([from] {
          if (Node* later = lookup(from)) act([later] { later->c->leave(); });
        });
      }
      break;
    case Kind::Label:
      if (code == STN_DBLCLK && !syncing) act([c] { c->dbl_click(); });
      break;
    case Kind::Button:
    case Kind::CheckBox:
    case Kind::RadioButton:
    case Kind::ToggleButton:
      if (code == BN_CLICKED && !syncing) act([c] { c->click(); });
      break;
    case Kind::SpinButton:
      if (code != BN_CLICKED || syncing) return;
      if (from == n.down) {
        act([c] { c->click_down(); });
      } else {
        act([c] { c->click_up(); });
      }
      break;
    case Kind::GroupBox:
      if (code == BN_CLICKED && !syncing) {
        auto it = std::find(n.radios.begin(), n.radios.end(), from);
        if (it == n.radios.end()) return;
        int index = static_cast<int>(it - n.radios.begin());
        act([c, index] { c->user_select(index); });
      }
      break;
    case Kind::ComboBox:
    case Kind::DriveList:
      if (code == CBN_SELCHANGE && !syncing) {
        int index = static_cast<int>(SendMessageA(from, CB_GETCURSEL, 0, 0));
        n.index = index;
        act([c, index] { c->user_select(index); });
      }
      break;
    case Kind::FileList:
    case Kind::DirectoryList: {
      // A folder opens on a double click; a single click only marks it.
      UINT opens = c->kind() == Kind::DirectoryList ? LBN_DBLCLK : LBN_SELCHANGE;
      if (code == opens && !syncing) {
        int index = static_cast<int>(SendMessageA(from, LB_GETCURSEL, 0, 0));
        n.index = index;
        act([c, index] { c->user_select(index); });
      }
      break;
    }
    default:
      break;
  }
}

void scrolled(Node& n, HWND from, int code) {
  Control* c = n.c;
  if (c->kind() != Kind::ScrollBar || st().sync_depth > 0) return;
  const int page = std::max(1, (c->max - c->min) / 10);
  int pos = c->position();
  switch (code) {
    case SB_LINELEFT:
      pos -= 1;
      break;
    case SB_LINERIGHT:
      pos += 1;
      break;
    case SB_PAGELEFT:
      pos -= page;
      break;
    case SB_PAGERIGHT:
      pos += page;
      break;
    case SB_LEFT:
      pos = c->min;
      break;
    case SB_RIGHT:
      pos = c->max;
      break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: {
      SCROLLINFO si = {};
      si.cbSize = sizeof si;
      si.fMask = SIF_TRACKPOS;
      if (!GetScrollInfo(from, SB_CTL, &si)) return;
      pos = si.nTrackPos;
      break;
    }
    default:
      return;
  }
  act([c, pos] { c->user_move(pos); });
}

bool mouse(Node& self, UINT msg, WPARAM wp, LPARAM lp) {
  State& s = st();
  int x = static_cast<short>(LOWORD(lp));
  int y = static_cast<short>(HIWORD(lp));
  Node* target = s.capture && s.capture->parent == &self ? s.capture : shape_at(self, x, y);
  if (msg == WM_LBUTTONUP) {
    if (s.capture) ReleaseCapture();
    s.capture = nullptr;
    return true;
  }
  if (!target) return false;
  if (msg == WM_LBUTTONDOWN) {
    s.capture = target;
    SetCapture(self.hwnd);
    return true;
  }
  Control* c = target->c;
  ShiftState shift = shift_of(wp);
  int cx = x - c->left;
  int cy = y - c->top;
  act([c, shift, cx, cy] { c->mouse_move(shift, cx, cy); });
  return true;
}

}  // namespace ui::render
