// Native rendering (Win32): what the renderer's files share. User-interface thread only.
#pragma once

#include <windows.h>

#include <climits>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/loop_internal.h"
#include "platform/ui.h"

namespace ui::render {

constexpr UINT_PTR kSyncTimerId = 0x4B4D;
// Model fields carry no change notification: how stale a shown value may get.
constexpr UINT kSyncMs = 100;
constexpr int kComboListHeight = 160;  // the drop-down below a combo box's field
constexpr int kSpinArrowsWidth = 16;   // a spin edit's arrows, right of its text
constexpr int kFontHeight = 11;        // pixels, the panels' Tahoma
constexpr int kRadioHeight = 17;
constexpr int kGroupCaptionIndent = 8;
// A sync asked for while one runs makes it go round again, this many times at most.
constexpr int kSyncRounds = 3;
constexpr Color kNoColor = 0xFF000000;  // no 0xRRGGBB colour: never shown yet

struct Window;

// One model control and its native side. The fields below the handles are what the native
// control shows, compared with the model on every sync.
struct Node {
  Control* c = nullptr;
  Window* window = nullptr;
  Node* parent = nullptr;
  HWND hwnd = nullptr;  // nullptr for windowless shapes
  HWND up = nullptr;    // spin arrows
  HWND down = nullptr;
  std::vector<HWND> radios;  // a group box's items
  std::vector<std::unique_ptr<Node>> children;

  bool fresh = true;  // nothing written yet
  std::string text;
  bool enabled = true, visible = false, checked = false, read_only = false;
  int left = INT_MIN, top = 0, width = 0, height = 0;
  Color color = kNoColor, font_color = kNoColor;
  int index = INT_MIN;
  std::vector<std::string> items;
  int min = 0, max = INT_MIN, position = INT_MIN, max_length = -1;
  ShapeStyle shape;
  int text_width = 0, text_height = 0;  // labels: the caption's extent
};

// A shown form: its top-level window is the root node's.
struct Window {
  Node root;
};

struct State {
  std::vector<std::unique_ptr<Window>> windows;
  std::unordered_map<HWND, Node*> nodes;  // every native window we made, to its node
  std::vector<std::pair<Color, HBRUSH>> brushes;
  HFONT font = nullptr;
  HFONT bold_font = nullptr;
  bool classes = false;
  int sync_depth = 0;       // nonzero while model values are written to native controls
  bool sync_again = false;  // a sync was asked for while one ran
  Node* capture = nullptr;  // the shape that has the mouse while a button is held
};

inline State& st() {
  static State* s = new State;  // never destroyed: the unload hook still needs it
  return *s;
}

inline Node* lookup(HWND h) {
  auto& nodes = st().nodes;
  auto it = nodes.find(h);
  return it == nodes.end() ? nullptr : it->second;
}

inline Window* find_window(const Control* form) {
  for (auto& w : st().windows) {
    if (w->root.c == form) return w.get();
  }
  return nullptr;
}

inline COLORREF rgb(Color c) {
  return RGB((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
}

// A solid brush of this colour, kept until the last window is gone.
HBRUSH brush(Color c);

// Messages of the forms' and panels' windows.
LRESULT CALLBACK window_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp);
// Write what changed in the model to every shown form's native controls.
void sync_all();
bool is_container(Kind k);
DWORD form_style(const Control* form);

// Painting (render_paint_win32.cpp).
LRESULT colours(Node* n, HDC dc, bool edit);  // WM_CTLCOLOR*: the brush, 0 for the system's
void paint(Node& n);                          // forms and panels
void draw_client(const Node& n, HDC dc, const RECT& rc);
void draw_progress(const DRAWITEMSTRUCT& d, const Control& c);
void draw_arrow(const DRAWITEMSTRUCT& d, bool up);  // spin arrows

// Native input (render_input_win32.cpp).
void command(Node& n, HWND from, UINT code);             // WM_COMMAND from a control
void scrolled(Node& n, HWND from, int code);             // WM_HSCROLL, WM_VSCROLL from a scroll bar
bool mouse(Node& self, UINT msg, WPARAM wp, LPARAM lp);  // shapes: true when one took it
// Runs a user action on the model, then shows what it changed. The action may pump messages,
// show other forms or destroy this one: nothing of the caller's node is used after it.
// A handler runs: work that must wait until no handler is on the stack (the panel's teardown when
// the host closes from a notification) waits until it has returned.
template <class F>
void act(F&& action) {
  {
    HandlerScope scope;
    try {
      action();
    } catch (...) {
    }
  }
  detail::after_event();
  sync_all();
}

}  // namespace ui::render
