// Native rendering of the control model (Win32). Showing a form gives it a top-level window and
// one standard control per model control; user input calls the model's user actions, and the
// model's plain fields reach the native controls by difference after every event and on a timer
// while the form is shown. Shapes have no window of their own: their parent draws them, like the
// toolkit's graphic controls, because they overlap and a hollow one shows what lies below it.
//
// This file makes the windows and writes the model to them; render_input_win32.cpp turns native
// input into the model's user actions, render_paint_win32.cpp draws what the system does not.
// User-interface thread only, like the model. Uses USER32 and GDI32 alone.
#include "platform/render_win32.h"

#include <algorithm>
#include <cstdlib>

namespace ui {

namespace detail {
void native_show(Control* c);
void native_hide(Control* c);
void native_raise(Control* c);
void native_modal(Control* c, bool on);
void native_destroy(Control* c);
}  // namespace detail

namespace render {

HBRUSH brush(Color c) {
  State& s = st();
  for (auto& b : s.brushes) {
    if (b.first == c) return b.second;
  }
  HBRUSH b = CreateSolidBrush(rgb(c));
  s.brushes.emplace_back(c, b);
  return b;
}

bool is_container(Kind k) {
  return k == Kind::Panel || k == Kind::GroupBox;
}

DWORD form_style(const Control* form) {
  // Without a title bar there is no close box either: such a window ends through its buttons.
  if (!form->title_bar) return WS_POPUP | WS_BORDER | WS_CLIPCHILDREN;
  return WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
}

namespace {

HINSTANCE this_module() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&window_proc), &module);
  return module;
}

// Named after the procedure's address: two copies of the plug-in in one process never share one.
void class_name(char (&name)[64], const char* what) {
  wsprintfA(name, "KMV410%s%p", what, reinterpret_cast<void*>(&window_proc));
}

bool register_classes() {
  State& s = st();
  if (s.classes) return true;
  for (const char* what : {"Form", "Panel"}) {
    char name[64];
    class_name(name, what);
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = this_module();
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = name;
    if (!RegisterClassExA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  }
  for (HFONT* font : {&s.font, &s.bold_font}) {
    *font = CreateFontA(-kFontHeight, 0, 0, 0, font == &s.font ? FW_NORMAL : FW_BOLD, FALSE, FALSE,
                        FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                        DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "Tahoma");
  }
  s.classes = true;
  return true;
}

// Once the last window is gone: the classes and GDI objects go too.
void release_resources() {
  State& s = st();
  if (!s.classes) return;
  for (const char* what : {"Form", "Panel"}) {
    char name[64];
    class_name(name, what);
    UnregisterClassA(name, this_module());
  }
  for (auto& b : s.brushes) DeleteObject(b.second);
  s.brushes.clear();
  for (HFONT* font : {&s.font, &s.bold_font}) {
    if (*font) DeleteObject(*font);
    *font = nullptr;
  }
  s.classes = false;
}

void register_hwnd(HWND h, Node* n) {
  if (h) st().nodes[h] = n;
}

void unregister_node(Node& n) {
  State& s = st();
  for (HWND h : {n.hwnd, n.up, n.down}) {
    if (h) s.nodes.erase(h);
  }
  for (HWND h : n.radios) s.nodes.erase(h);
  if (s.capture == &n) s.capture = nullptr;
  for (auto& child : n.children) unregister_node(*child);
}

HWND make_child(const char* cls, const char* text, DWORD style, DWORD ex, HWND parent) {
  HWND h = CreateWindowExA(ex, cls, text, WS_CHILD | WS_CLIPSIBLINGS | style, 0, 0, 0, 0, parent,
                           nullptr, this_module(), nullptr);
  if (h) SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(st().font), FALSE);
  return h;
}

// Drawn by us (WM_DRAWITEM): no arrow glyph depends on a symbol font being installed.
HWND make_arrow(HWND parent) {
  return make_child("BUTTON", "", BS_OWNERDRAW, 0, parent);
}

// The native control(s) of one model control; windowless shapes get none.
void create_native(Node& n, HWND parent) {
  const Control& c = *n.c;
  char panel[64];
  class_name(panel, "Panel");
  switch (c.kind()) {
    case Kind::Panel:
    case Kind::GroupBox:
      n.hwnd = make_child(panel, "", WS_CLIPCHILDREN, 0, parent);
      break;
    case Kind::Label:
      n.hwnd = make_child("STATIC", "",
                          SS_NOTIFY | SS_NOPREFIX |
                              (c.centered        ? SS_CENTER
                               : c.right_aligned ? SS_RIGHT
                                                 : SS_LEFT),
                          0, parent);
      if (n.hwnd && c.bold) {
        SendMessageA(n.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(st().bold_font), FALSE);
      }
      break;
    case Kind::ProgressBar:
      n.hwnd = make_child("STATIC", "", SS_OWNERDRAW, 0, parent);
      break;
    case Kind::Edit:
    case Kind::SpinEdit:
      n.hwnd = make_child(
          "EDIT", "",
          ES_AUTOHSCROLL | (c.centered ? ES_CENTER : ES_LEFT) | (c.numbers_only ? ES_NUMBER : 0),
          WS_EX_CLIENTEDGE, parent);
      // Narrow fields (a 5-digit number in 40 pixels): the text gets all but a pixel each side.
      if (n.hwnd)
        SendMessageA(n.hwnd, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELONG(1, 1));
      if (c.kind() == Kind::SpinEdit) {
        n.up = make_arrow(parent);
        n.down = make_arrow(parent);
      }
      break;
    case Kind::CheckBox:
      n.hwnd = make_child("BUTTON", "", BS_CHECKBOX, 0, parent);
      break;
    case Kind::RadioButton:
      // Not an auto radio button: the model does the grouping and the native check follows it.
      n.hwnd = make_child("BUTTON", "", BS_RADIOBUTTON, 0, parent);
      break;
    case Kind::Button:
      n.hwnd = make_child("BUTTON", "", BS_PUSHBUTTON, 0, parent);
      break;
    case Kind::ToggleButton:
      n.hwnd =
          make_child("BUTTON", "", BS_CHECKBOX | BS_PUSHLIKE | (c.flat ? BS_FLAT : 0), 0, parent);
      break;
    case Kind::ComboBox:
    case Kind::DriveList:
      n.hwnd = make_child("COMBOBOX", "", CBS_DROPDOWNLIST | WS_VSCROLL, 0, parent);
      break;
    case Kind::ScrollBar:
      n.hwnd = make_child("SCROLLBAR", "", c.width >= c.height ? SBS_HORZ : SBS_VERT, 0, parent);
      break;
    case Kind::FileList:
    case Kind::DirectoryList:
      n.hwnd = make_child("LISTBOX", "", LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL,
                          WS_EX_CLIENTEDGE, parent);
      break;
    case Kind::SpinButton:
      n.hwnd = n.up = make_arrow(parent);
      n.down = make_arrow(parent);
      break;
    case Kind::Shape:
    case Kind::Form:
    case Kind::Timer:
      break;
  }
  register_hwnd(n.hwnd, &n);
  register_hwnd(n.up, &n);
  register_hwnd(n.down, &n);
}

// Children in model order; later ones lie on top, as in the toolkit.
void build(Window& w, Node& parent) {
  for (const auto& child : parent.c->children()) {
    Kind k = child->kind();
    if (k == Kind::Form || k == Kind::Timer) continue;  // other windows, no window at all
    auto n = std::make_unique<Node>();
    n->c = child.get();
    n->window = &w;
    n->parent = &parent;
    create_native(*n, parent.hwnd);
    if (is_container(k) && n->hwnd) build(w, *n);
    for (HWND h : {n->hwnd, n->up, n->down}) {
      if (h) SetWindowPos(h, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    parent.children.push_back(std::move(n));
  }
}

Window* create_window(Control* form) {
  State& s = st();
  if (!register_classes()) return nullptr;
  HWND owner = nullptr;
  for (Control* p = form->parent(); p && !owner; p = p->parent()) {
    if (Window* ow = find_window(p)) owner = ow->root.hwnd;
  }
  char name[64];
  class_name(name, "Form");
  HWND h = CreateWindowExA(0, name, "", form_style(form), 0, 0, 0, 0, owner, nullptr, this_module(),
                           nullptr);
  if (!h) return nullptr;
  auto w = std::make_unique<Window>();
  w->root.c = form;
  w->root.window = w.get();
  w->root.hwnd = h;
  register_hwnd(h, &w->root);
  build(*w, w->root);
  s.windows.push_back(std::move(w));
  return s.windows.back().get();
}

// ---- Model -> native ----

void set_text(HWND h, const std::string& text) {
  SetWindowTextA(h, text.c_str());
  // Code that rewrites what the user is typing keeps the caret at the end.
  if (GetFocus() == h) {
    SendMessageA(h, EM_SETSEL, static_cast<WPARAM>(text.size()), static_cast<LPARAM>(text.size()));
  }
}

// Labels size themselves to their caption, as the toolkit's do.
void measure(Node& n) {
  n.text_width = n.text_height = 0;
  HDC dc = GetDC(n.hwnd);
  if (!dc) return;
  HGDIOBJ old = SelectObject(dc, n.c->bold ? st().bold_font : st().font);
  SIZE size = {};
  if (GetTextExtentPoint32A(dc, n.text.c_str(), static_cast<int>(n.text.size()), &size)) {
    n.text_width = size.cx;
    n.text_height = size.cy;
  }
  SelectObject(dc, old);
  ReleaseDC(n.hwnd, dc);
}

void place(const Node& n) {
  const Control& c = *n.c;
  constexpr UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
  switch (c.kind()) {
    case Kind::Label:
      SetWindowPos(n.hwnd, nullptr, c.left, c.top, std::max(c.width, n.text_width),
                   std::max(c.height, n.text_height), flags);
      break;
    case Kind::ComboBox:
    case Kind::DriveList:
      SetWindowPos(n.hwnd, nullptr, c.left, c.top, c.width, c.height + kComboListHeight, flags);
      break;
    case Kind::SpinEdit: {
      int field = std::max(0, c.width - kSpinArrowsWidth);
      int half = c.height / 2;
      SetWindowPos(n.hwnd, nullptr, c.left, c.top, field, c.height, flags);
      SetWindowPos(n.up, nullptr, c.left + field, c.top, kSpinArrowsWidth, half, flags);
      SetWindowPos(n.down, nullptr, c.left + field, c.top + half, kSpinArrowsWidth, c.height - half,
                   flags);
      break;
    }
    case Kind::SpinButton: {
      int half = c.height / 2;
      SetWindowPos(n.up, nullptr, c.left, c.top, c.width, half, flags);
      SetWindowPos(n.down, nullptr, c.left, c.top + half, c.width, c.height - half, flags);
      break;
    }
    default:
      SetWindowPos(n.hwnd, nullptr, c.left, c.top, c.width, c.height, flags);
      break;
  }
}

// A radio group: a group box whose items are its radio buttons.
void place_radios(const Node& n) {
  const Control& c = *n.c;
  int count = static_cast<int>(n.radios.size());
  if (count == 0) return;
  int first = kFontHeight + 4;
  int pitch = std::max(kRadioHeight, (c.height - first - 4) / count);
  for (int i = 0; i < count; ++i) {
    SetWindowPos(n.radios[static_cast<size_t>(i)], nullptr, kGroupCaptionIndent, first + i * pitch,
                 std::max(0, c.width - 2 * kGroupCaptionIndent), kRadioHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void remake_radios(Node& n) {
  State& s = st();
  for (HWND h : n.radios) {
    s.nodes.erase(h);
    DestroyWindow(h);
  }
  n.radios.clear();
  for (const std::string& item : n.items) {
    HWND h = make_child("BUTTON", item.c_str(), BS_RADIOBUTTON | WS_VISIBLE, 0, n.hwnd);
    if (!h) continue;
    EnableWindow(h, n.enabled);
    register_hwnd(h, &n);
    n.radios.push_back(h);
  }
  place_radios(n);
  n.index = INT_MIN;  // checks to be set again
}

void show_native(const Node& n, bool on) {
  for (HWND h : {n.hwnd, n.up, n.down}) {
    if (h) ShowWindow(h, on ? SW_SHOWNA : SW_HIDE);
  }
}

void enable_native(const Node& n, bool on) {
  for (HWND h : {n.hwnd, n.up, n.down}) {
    if (h) EnableWindow(h, on);
  }
  for (HWND h : n.radios) EnableWindow(h, on);
}

struct Rect {
  int left, top, width, height;
};

void invalidate(HWND parent, const Rect& r) {
  RECT rc = {r.left, r.top, r.left + r.width + 1, r.top + r.height + 1};
  InvalidateRect(parent, &rc, FALSE);
}

bool same_shape(const ShapeStyle& a, const ShapeStyle& b) {
  return a.type == b.type && a.pen == b.pen && a.dotted == b.dotted && a.hollow == b.hollow;
}

void sync_shape(Node& n) {
  const Control& c = *n.c;
  HWND parent = n.parent->hwnd;
  Rect old = {n.left, n.top, n.width, n.height};
  bool moved = n.left != c.left || n.top != c.top || n.width != c.width || n.height != c.height;
  bool changed = n.visible != c.visible || n.color != c.color || !same_shape(n.shape, c.shape);
  if (!moved && !changed && !n.fresh) return;
  n.fresh = false;
  if (n.visible) invalidate(parent, old);
  n.left = c.left;
  n.top = c.top;
  n.width = c.width;
  n.height = c.height;
  n.visible = c.visible;
  n.color = c.color;
  n.shape = c.shape;
  if (n.visible) invalidate(parent, {c.left, c.top, c.width, c.height});
}

void sync_items(Node& n, UINT reset, UINT add, UINT select) {
  const Control& c = *n.c;
  if (n.items != c.items) {
    n.items = c.items;
    SendMessageA(n.hwnd, reset, 0, 0);
    for (const std::string& item : n.items) {
      SendMessageA(n.hwnd, add, 0, reinterpret_cast<LPARAM>(item.c_str()));
    }
    n.index = INT_MIN;
  }
  if (n.index != c.item_index()) {
    n.index = c.item_index();
    SendMessageA(n.hwnd, select, static_cast<WPARAM>(n.index), 0);
  }
}

void sync_node(Node& n, bool parent_enabled);

// What each kind shows beyond position, visibility and the enabled state.
void sync_content(Node& n) {
  const Control& c = *n.c;
  Kind k = c.kind();
  switch (k) {
    case Kind::Edit:
    case Kind::SpinEdit:
      if (n.text != c.text()) {
        n.text = c.text();
        set_text(n.hwnd, n.text);
      }
      if (n.read_only != c.read_only) {
        n.read_only = c.read_only;
        SendMessageA(n.hwnd, EM_SETREADONLY, n.read_only, 0);
      }
      if (n.max_length != c.max_length) {
        n.max_length = c.max_length;
        SendMessageA(n.hwnd, EM_LIMITTEXT, static_cast<WPARAM>(std::max(0, n.max_length)), 0);
      }
      break;
    case Kind::Label:
    case Kind::Button:
    case Kind::CheckBox:
    case Kind::RadioButton:
    case Kind::ToggleButton:
      if (n.text != c.caption) {
        n.text = c.caption;
        SetWindowTextA(n.hwnd, n.text.c_str());
        if (k == Kind::Label) measure(n);
        n.left = INT_MIN;  // a label's size follows its caption
      }
      break;
    case Kind::GroupBox:
      if (n.text != c.caption) {
        n.text = c.caption;
        InvalidateRect(n.hwnd, nullptr, FALSE);
      }
      if (n.items != c.items) {
        n.items = c.items;
        remake_radios(n);
      }
      if (n.index != c.item_index()) {
        n.index = c.item_index();
        for (size_t i = 0; i < n.radios.size(); ++i) {
          SendMessageA(n.radios[i], BM_SETCHECK,
                       static_cast<int>(i) == n.index ? BST_CHECKED : BST_UNCHECKED, 0);
        }
      }
      break;
    case Kind::ComboBox:
    case Kind::DriveList:
      sync_items(n, CB_RESETCONTENT, CB_ADDSTRING, CB_SETCURSEL);
      break;
    case Kind::FileList:
    case Kind::DirectoryList:
      sync_items(n, LB_RESETCONTENT, LB_ADDSTRING, LB_SETCURSEL);
      break;
    case Kind::ScrollBar:
      if (n.min != c.min || n.max != c.max || n.position != c.position()) {
        n.min = c.min;
        n.max = c.max;
        n.position = c.position();
        SCROLLINFO si = {};
        si.cbSize = sizeof si;
        si.fMask = SIF_RANGE | SIF_POS;
        si.nMin = n.min;
        si.nMax = std::max(n.min, n.max);
        si.nPos = n.position;
        SetScrollInfo(n.hwnd, SB_CTL, &si, TRUE);
      }
      break;
    case Kind::ProgressBar:
      if (n.min != c.min || n.max != c.max || n.position != c.position()) {
        n.min = c.min;
        n.max = c.max;
        n.position = c.position();
        InvalidateRect(n.hwnd, nullptr, FALSE);
      }
      break;
    default:
      break;
  }
  if (k == Kind::CheckBox || k == Kind::RadioButton || k == Kind::ToggleButton) {
    bool on = k == Kind::ToggleButton ? c.down() : c.checked();
    if (n.checked != on || n.fresh) {
      n.checked = on;
      SendMessageA(n.hwnd, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
    }
  }
}

void sync_node(Node& n, bool parent_enabled) {
  const Control& c = *n.c;
  if (!n.hwnd && !n.up) {
    if (c.kind() == Kind::Shape && n.parent->hwnd) sync_shape(n);
    return;
  }
  // Hidden controls are kept up to date too: they show the right thing the moment they appear.
  if (!c.visible && (n.visible || n.fresh)) {
    show_native(n, false);
    n.visible = false;
  }
  sync_content(n);
  if (n.left != c.left || n.top != c.top || n.width != c.width || n.height != c.height) {
    n.left = c.left;
    n.top = c.top;
    n.width = c.width;
    n.height = c.height;
    place(n);
    place_radios(n);
  }
  if (n.color != c.color || n.font_color != c.font_color) {
    n.color = c.color;
    n.font_color = c.font_color;
    InvalidateRect(n.hwnd, nullptr, TRUE);
    for (HWND h : n.radios) InvalidateRect(h, nullptr, TRUE);
  }
  bool enabled = parent_enabled && c.enabled;
  if (n.enabled != enabled || n.fresh) {
    n.enabled = enabled;
    enable_native(n, enabled);
  }
  for (auto& child : n.children) sync_node(*child, enabled);
  if (c.visible && (!n.visible || n.fresh)) {
    show_native(n, true);
    n.visible = true;
  }
  n.fresh = false;
}

void sync_window(Window& w) {
  Node& n = w.root;
  Control& c = *n.c;
  HWND h = n.hwnd;
  if (!c.visible) {
    if (n.visible) {
      ShowWindow(h, SW_HIDE);
      KillTimer(h, kSyncTimerId);
      if (st().capture && st().capture->window == &w) ReleaseCapture();
    }
    n.visible = false;
    return;
  }
  if (n.text != c.caption) {
    n.text = c.caption;
    SetWindowTextA(h, n.text.c_str());
  }
  if (n.left != c.left || n.top != c.top || n.width != c.width || n.height != c.height) {
    n.left = c.left;
    n.top = c.top;
    n.width = c.width;
    n.height = c.height;
    // The panel keeps its window's outer size (its layouts are told apart by it); the windows
    // it owns keep the size of their client area.
    RECT r = {0, 0, c.width, c.height};
    if (c.parent()) AdjustWindowRectEx(&r, form_style(&c), FALSE, 0);
    SetWindowPos(h, nullptr, c.left, c.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  if (n.checked != c.stay_on_top || n.fresh) {
    n.checked = c.stay_on_top;
    SetWindowPos(h, n.checked ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  if (n.color != c.color) {
    n.color = c.color;
    InvalidateRect(h, nullptr, FALSE);
  }
  if (n.enabled != c.enabled || n.fresh) {
    n.enabled = c.enabled;
    EnableWindow(h, c.enabled);
  }
  for (auto& child : n.children) sync_node(*child, c.enabled);
  if (!n.visible) {
    ShowWindow(h, SW_SHOW);
    SetTimer(h, kSyncTimerId, kSyncMs, nullptr);
  }
  n.visible = true;
  n.fresh = false;
}

LRESULT handle(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  Node* self = lookup(h);
  if (!self) return DefWindowProcA(h, msg, wp, lp);
  bool root = self == &self->window->root;
  switch (msg) {
    case WM_COMMAND:
      if (lp) {
        HWND from = reinterpret_cast<HWND>(lp);
        if (Node* n = lookup(from)) command(*n, from, HIWORD(wp));
      }
      return 0;
    case WM_HSCROLL:
    case WM_VSCROLL:
      if (lp) {
        HWND from = reinterpret_cast<HWND>(lp);
        if (Node* n = lookup(from)) scrolled(*n, from, LOWORD(wp));
      }
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
      if (LRESULT b = colours(lookup(reinterpret_cast<HWND>(lp)), reinterpret_cast<HDC>(wp),
                              msg == WM_CTLCOLOREDIT)) {
        return b;
      }
      break;
    case WM_DRAWITEM: {
      const auto* d = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
      Node* n = d ? lookup(d->hwndItem) : nullptr;
      if (!n) break;
      if (n->c->kind() == Kind::ProgressBar) {
        draw_progress(*d, *n->c);
      } else if (d->hwndItem == n->up || d->hwndItem == n->down) {
        draw_arrow(*d, d->hwndItem == n->up);
      } else {
        break;
      }
      return TRUE;
    }
    case WM_ERASEBKGND:
      return 1;  // painted with the rest in WM_PAINT
    case WM_PAINT:
      paint(*self);
      return 0;
    case WM_PRINTCLIENT: {
      RECT rc;
      GetClientRect(h, &rc);
      draw_client(*self, reinterpret_cast<HDC>(wp), rc);
      return 0;
    }
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
      if (mouse(*self, msg, wp, lp)) return 0;
      break;
    case WM_CAPTURECHANGED:
      st().capture = nullptr;
      break;
    case WM_MOUSEWHEEL: {
      int delta = GET_WHEEL_DELTA_WPARAM(wp);
      if (delta == 0 || st().sync_depth > 0) break;
      Control* c = self->c;
      bool handled = false;
      act([c, delta, &handled] {
        for (int i = 0; i < std::max(1, std::abs(delta) / WHEEL_DELTA); ++i) {
          handled = c->mouse_wheel(delta) || handled;
        }
      });
      if (handled) return 0;
      break;  // unhandled: on to the parent
    }
    case WM_CLOSE:
      if (!root) break;
      // Closing only hides: the host shows the form again.
      act([c = self->c] { c->hide(); });
      return 0;
    case WM_TIMER:
      if (wp != kSyncTimerId) break;
      sync_all();
      return 0;
    case WM_GETMINMAXINFO:
      // The advanced layout is wider than many screens: the model's size is never cut down.
      if (root && lp) {
        auto* info = reinterpret_cast<MINMAXINFO*>(lp);
        RECT r = {0, 0, self->c->width, self->c->height};
        AdjustWindowRectEx(&r, form_style(self->c), FALSE, 0);
        info->ptMaxTrackSize.x = std::max<LONG>(info->ptMaxTrackSize.x, r.right - r.left);
        info->ptMaxTrackSize.y = std::max<LONG>(info->ptMaxTrackSize.y, r.bottom - r.top);
        return 0;
      }
      break;
    case WM_WINDOWPOSCHANGED: {
      // The user moved the window: the model keeps where it is.
      const auto* pos = reinterpret_cast<const WINDOWPOS*>(lp);
      if (root && st().sync_depth == 0 && pos && !(pos->flags & SWP_NOMOVE)) {
        self->c->left = self->left = pos->x;
        self->c->top = self->top = pos->y;
      }
      break;
    }
    default:
      break;
  }
  return DefWindowProcA(h, msg, wp, lp);
}

void destroy_window(Window* w) {
  State& s = st();
  // Windows it owns first: their forms are the model's children of this one.
  for (bool again = true; again;) {
    again = false;
    for (auto& other : s.windows) {
      if (other.get() == w) continue;
      Control* p = other->root.c->parent();
      while (p && p != w->root.c) p = p->parent();
      if (p) {
        destroy_window(other.get());
        again = true;
        break;
      }
    }
  }
  // Unmapped first: what the destruction sends (focus loss, notifications) reaches no model.
  unregister_node(w->root);
  HWND captured = GetCapture();
  if (captured && (captured == w->root.hwnd || IsChild(w->root.hwnd, captured))) ReleaseCapture();
  KillTimer(w->root.hwnd, kSyncTimerId);
  DestroyWindow(w->root.hwnd);
  auto it = std::find_if(s.windows.begin(), s.windows.end(),
                         [w](const std::unique_ptr<Window>& p) { return p.get() == w; });
  if (it != s.windows.end()) s.windows.erase(it);
  if (s.windows.empty()) release_resources();
}

// Off the user-interface thread only the owner may destroy the windows: they are handed to the
// system's procedure, which closes them when the owner's loop runs.
void abandon(Window& w) {
  std::vector<Node*> todo = {&w.root};
  while (!todo.empty()) {
    Node* n = todo.back();
    todo.pop_back();
    if (n->hwnd && (n == &w.root || is_container(n->c->kind()))) {
      SetWindowLongPtrA(n->hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProcA));
    }
    for (auto& child : n->children) todo.push_back(child.get());
  }
  PostMessageA(w.root.hwnd, WM_CLOSE, 0, 0);
}

// Off the user-interface thread (library unload): the windows go to the system, their nodes
// with them; the user-interface thread runs no plug-in code by then.
void forget(Window* w) {
  State& s = st();
  abandon(*w);
  unregister_node(w->root);
  auto it = std::find_if(s.windows.begin(), s.windows.end(),
                         [w](const std::unique_ptr<Window>& p) { return p.get() == w; });
  if (it != s.windows.end()) s.windows.erase(it);
}

// A host that unloads the plug-in goes on pumping messages: no window may outlive the code of
// its procedure.
struct ReleaseAtUnload {
  ~ReleaseAtUnload() {
    State& s = st();
    if (s.windows.empty()) return;
    if (on_ui_thread()) {
      while (!s.windows.empty()) destroy_window(s.windows.front().get());
      return;
    }
    while (!s.windows.empty()) forget(s.windows.front().get());
  }
} g_release_at_unload;

}  // namespace

LRESULT CALLBACK window_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  try {
    return handle(h, msg, wp, lp);
  } catch (...) {  // nothing may leave a window procedure
    return 0;
  }
}

void sync_all() {
  State& s = st();
  if (s.sync_depth > 0) {
    s.sync_again = true;
    return;
  }
  for (int round = 0; round < kSyncRounds; ++round) {
    s.sync_again = false;
    ++s.sync_depth;
    // By index: a sync creates or destroys no window, but stays safe if one did.
    for (size_t i = 0; i < s.windows.size(); ++i) {
      try {
        sync_window(*s.windows[i]);
      } catch (...) {
      }
    }
    --s.sync_depth;
    if (!s.sync_again) break;
  }
}

}  // namespace render

namespace detail {

void native_show(Control* c) {
  if (c->kind() != Kind::Form || !on_ui_thread()) return;
  if (!render::find_window(c) && !render::create_window(c)) return;
  render::sync_all();
}

void native_hide(Control* c) {
  if (c->kind() != Kind::Form || !on_ui_thread() || !render::find_window(c)) return;
  render::sync_all();
}

void native_raise(Control* c) {
  if (c->kind() != Kind::Form || !on_ui_thread()) return;
  render::Window* w = render::find_window(c);
  if (w && c->visible) {
    SetWindowPos(w->root.hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  }
}

// While a form is shown modally, the window that owns it takes no input.
void native_modal(Control* c, bool on) {
  if (c->kind() != Kind::Form || !on_ui_thread()) return;
  for (Control* p = c->parent(); p; p = p->parent()) {
    if (render::Window* owner = render::find_window(p)) {
      EnableWindow(owner->root.hwnd, on ? FALSE : p->enabled);
      return;
    }
  }
}

void native_destroy(Control* c) {
  if (c->kind() != Kind::Form) return;
  render::Window* w = render::find_window(c);
  if (!w) return;
  if (on_ui_thread()) {
    render::destroy_window(w);
  } else {
    render::forget(w);
  }
}

}  // namespace detail

}  // namespace ui
