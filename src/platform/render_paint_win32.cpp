// Native rendering (Win32): painting. Forms and panels draw their colour, frame and the
// windowless shapes they hold; labels, check boxes and edits are coloured through WM_CTLCOLOR*.
#include <algorithm>

#include "platform/render_win32.h"

namespace ui::render {

namespace {

// Text in the colour the model gives, unless that is the background's own (a radio group on a
// black form): then black or white, whichever reads.
COLORREF text_colour(const Control& c) {
  if (c.font_color != c.color) return rgb(c.font_color);
  int luma = (((c.color >> 16) & 0xFF) * 3 + ((c.color >> 8) & 0xFF) * 6 + (c.color & 0xFF)) / 10;
  return luma < 128 ? RGB(255, 255, 255) : RGB(0, 0, 0);
}

void draw_shape(HDC dc, const Control& c) {
  const ShapeStyle& s = c.shape;
  HPEN pen = CreatePen(s.dotted ? PS_DOT : PS_SOLID, 1, rgb(s.pen));
  HGDIOBJ old_pen = SelectObject(dc, pen);
  HGDIOBJ old_brush = SelectObject(dc, s.hollow ? GetStockObject(NULL_BRUSH) : brush(c.color));
  int x = c.left, y = c.top, w = c.width, h = c.height;
  if (w <= 1 || h <= 1) {  // a line
    MoveToEx(dc, x, y, nullptr);
    LineTo(dc, w <= 1 ? x : x + w, h <= 1 ? y : y + h);
  } else if (s.type == ShapeType::Rectangle) {
    Rectangle(dc, x, y, x + w, y + h);
  } else {
    int side = std::min(w, h);
    x += (w - side) / 2;
    y += (h - side) / 2;
    if (s.type == ShapeType::Circle) {
      Ellipse(dc, x, y, x + side, y + side);
    } else {
      Rectangle(dc, x, y, x + side, y + side);
    }
  }
  SelectObject(dc, old_brush);
  SelectObject(dc, old_pen);
  DeleteObject(pen);
}

void draw_frame(HDC dc, const Node& n, RECT rc) {
  const Control& c = *n.c;
  if (c.kind() == Kind::Panel) {
    DrawEdge(dc, &rc, BDR_RAISEDINNER, BF_RECT);
    return;
  }
  if (c.kind() != Kind::GroupBox) return;
  SelectObject(dc, st().font);
  SIZE size = {};
  GetTextExtentPoint32A(dc, "M", 1, &size);
  if (!c.caption.empty()) rc.top += size.cy / 2;
  DrawEdge(dc, &rc, EDGE_ETCHED, BF_RECT);
  if (c.caption.empty()) return;
  SetBkMode(dc, OPAQUE);
  SetBkColor(dc, rgb(c.color));
  SetTextColor(dc, n.enabled ? text_colour(c) : GetSysColor(COLOR_GRAYTEXT));
  TextOutA(dc, kGroupCaptionIndent, 0, c.caption.c_str(), static_cast<int>(c.caption.size()));
}

}  // namespace

LRESULT colours(Node* n, HDC dc, bool edit) {
  if (!n) return 0;
  Kind k = n->c->kind();
  bool coloured = k == Kind::Label || k == Kind::CheckBox || k == Kind::RadioButton ||
                  k == Kind::GroupBox || k == Kind::Edit || k == Kind::SpinEdit;
  if (!coloured || (edit && k != Kind::Edit && k != Kind::SpinEdit)) return 0;
  SetTextColor(dc, text_colour(*n->c));
  SetBkColor(dc, rgb(n->c->color));
  return reinterpret_cast<LRESULT>(brush(n->c->color));
}

// Forms and panels: their colour, frame and shapes.
void draw_client(const Node& n, HDC dc, const RECT& rc) {
  HGDIOBJ old_font = SelectObject(dc, st().font);
  FillRect(dc, &rc, brush(n.c->color));
  draw_frame(dc, n, rc);
  for (auto& child : n.children) {
    const Control& c = *child->c;
    if (!child->hwnd && c.kind() == Kind::Shape && c.visible) draw_shape(dc, c);
  }
  SelectObject(dc, old_font);
}

// Drawn off screen and copied in one go: no flicker while a marker is dragged.
void paint(Node& n) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(n.hwnd, &ps);
  if (!dc) return;
  RECT rc;
  GetClientRect(n.hwnd, &rc);
  if (rc.right > 0 && rc.bottom > 0) {
    HDC mem = CreateCompatibleDC(dc);
    HBITMAP bmp = CreateCompatibleBitmap(dc, rc.right, rc.bottom);
    if (mem && bmp) {
      HGDIOBJ old = SelectObject(mem, bmp);
      draw_client(n, mem, rc);
      BitBlt(dc, ps.rcPaint.left, ps.rcPaint.top, ps.rcPaint.right - ps.rcPaint.left,
             ps.rcPaint.bottom - ps.rcPaint.top, mem, ps.rcPaint.left, ps.rcPaint.top, SRCCOPY);
      SelectObject(mem, old);
    }
    if (bmp) DeleteObject(bmp);
    if (mem) DeleteDC(mem);
  }
  EndPaint(n.hwnd, &ps);
}

void draw_progress(const DRAWITEMSTRUCT& d, const Control& c) {
  RECT rc = d.rcItem;
  FillRect(d.hDC, &rc, GetSysColorBrush(COLOR_BTNFACE));
  DrawEdge(d.hDC, &rc, BDR_SUNKENOUTER, BF_RECT | BF_ADJUST);
  long long span = std::max(1, c.max - c.min);
  long long done = std::clamp<long long>(c.position() - c.min, 0, span);
  RECT bar = rc;
  bar.right = rc.left + static_cast<LONG>((rc.right - rc.left) * done / span);
  if (bar.right > bar.left) FillRect(d.hDC, &bar, GetSysColorBrush(COLOR_HIGHLIGHT));
}

void draw_arrow(const DRAWITEMSTRUCT& d, bool up) {
  RECT rc = d.rcItem;
  FillRect(d.hDC, &rc, GetSysColorBrush(COLOR_BTNFACE));
  DrawEdge(d.hDC, &rc, (d.itemState & ODS_SELECTED) ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
  int w = rc.right - rc.left, h = rc.bottom - rc.top;
  int half = std::max(1, std::min(w / 4, h / 3));  // half the triangle's base
  int cx = rc.left + w / 2, cy = rc.top + h / 2;
  POINT tri[3];
  if (up) {
    tri[0] = {cx - half, cy + half / 2};
    tri[1] = {cx + half, cy + half / 2};
    tri[2] = {cx, cy - half / 2 - 1};
  } else {
    tri[0] = {cx - half, cy - half / 2};
    tri[1] = {cx + half, cy - half / 2};
    tri[2] = {cx, cy + half / 2 + 1};
  }
  int colour = (d.itemState & ODS_DISABLED) ? COLOR_GRAYTEXT : COLOR_BTNTEXT;
  HGDIOBJ old_brush = SelectObject(d.hDC, GetSysColorBrush(colour));
  HGDIOBJ old_pen = SelectObject(d.hDC, GetStockObject(NULL_PEN));
  Polygon(d.hDC, tri, 3);
  SelectObject(d.hDC, old_pen);
  SelectObject(d.hDC, old_brush);
}

}  // namespace ui::render
