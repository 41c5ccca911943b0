// TF_Coord: controls, design values, handlers and the mix send.
#include "mix/Coord1.h"

#include <memory>
#include <optional>

#include "control/Form1.h"
#include "control/commands.h"
#include "mix/mix_values.h"
#include "plugin/plugin_state.h"

TF_Coord* F_Coord = nullptr;

namespace mix {
State g_mix;
}  // namespace mix

namespace {

constexpr int kClientWidth = 560;
constexpr int kClientHeight = 425;
constexpr int kScaleBelowTop = 407;   // dB labels under the plane
constexpr int kScaleRightLeft = 409;  // degree labels right of the plane
constexpr int kSideLeft = 450;        // the magnitude and phase controls
constexpr int kSideWidth = 104;

ui::Control* make(ui::Control* parent, ui::Kind kind, const char* name, int left, int top,
                  int width, int height) {
  ui::Control* c = parent->add(kind, name);
  c->left = left;
  c->top = top;
  c->width = width;
  c->height = height;
  c->color = parent->color;
  return c;
}

// A grid line: a 1-pixel shape that takes no mouse input.
void line(ui::Control* parent, const char* name, int left, int top, int width, int height,
          ui::Color color, bool dotted) {
  ui::Control* c = make(parent, ui::Kind::Shape, name, left, top, width, height);
  c->shape.pen = color;
  c->shape.dotted = dotted;
  c->color = color;
  c->enabled = false;
}

void scale_label(ui::Control* parent, const char* name, const char* caption, int left, int top,
                 ui::Color color) {
  ui::Control* c = make(parent, ui::Kind::Label, name, left, top, 30, 13);
  c->caption = caption;
  c->font_color = color;
}

struct Line {
  const char* name;
  int at;
  ui::Color color;
  bool dotted;
};
struct Scale {
  const char* name;
  const char* caption;
  int at;
  ui::Color color;
};

// Phase grid: every 40 degrees, dotted where the wrap bands begin.
constexpr Line kPhaseLines[] = {
    {"Shape1", 200, ui::kLime, false},   {"Shape2", 40, ui::kYellow, false},
    {"Shape3", 80, ui::kYellow, false},  {"Shape4", 120, ui::kYellow, false},
    {"Shape5", 160, ui::kYellow, false}, {"Shape6", 240, ui::kYellow, false},
    {"Shape7", 280, ui::kYellow, false}, {"Shape8", 320, ui::kYellow, false},
    {"Shape9", 360, ui::kYellow, false}, {"Shape19", 20, ui::kYellow, true},
    {"Shape20", 380, ui::kYellow, true},
};
// Magnitude grid: every 4 dB.
constexpr Line kMagnitudeLines[] = {
    {"Shape10", 240, ui::kLime, false},   {"Shape11", 40, ui::kYellow, false},
    {"Shape12", 80, ui::kYellow, false},  {"Shape13", 120, ui::kYellow, false},
    {"Shape14", 160, ui::kYellow, false}, {"Shape15", 200, ui::kYellow, false},
    {"Shape16", 280, ui::kYellow, false}, {"Shape17", 320, ui::kYellow, false},
    {"Shape18", 360, ui::kYellow, false},
};
constexpr Scale kDbScale[] = {
    {"Label1", "-24", 0, ui::kWhite},      {"Label2", "-20", 40, ui::kWhite},
    {"Label3", "-16", 80, ui::kWhite},     {"Label4", "-12", 120, ui::kWhite},
    {"Label5", "-8", 160, ui::kWhite},     {"Label6", "-4", 200, ui::kWhite},
    {"Label7", "0", 240, ui::kLime},       {"Label8", "4", 280, ui::kWhite},
    {"Label9", "8", 320, ui::kWhite},      {"Label10", "12", 360, ui::kWhite},
    {"Label11", "16 dB", 389, ui::kWhite},
};
constexpr Scale kDegreeScale[] = {
    {"Label12", "-160\xB0", 0, ui::kWhite},   {"Label13", "160\xB0", 40, ui::kWhite},
    {"Label14", "120\xB0", 80, ui::kWhite},   {"Label15", "80\xB0", 120, ui::kWhite},
    {"Label16", "40\xB0", 160, ui::kWhite},   {"Label17", "0\xB0", 200, ui::kLime},
    {"Label18", "-40\xB0", 240, ui::kWhite},  {"Label19", "-80\xB0", 280, ui::kWhite},
    {"Label20", "-120\xB0", 320, ui::kWhite}, {"Label21", "-160\xB0", 360, ui::kWhite},
    {"Label22", "160\xB0", 390, ui::kWhite},
};

// The toolkit's report of a number it could not read in an event handler.
void report_not_a_number(const std::string& text) {
  ui::message_box(mix::not_a_number_text(text), "Mix Channel 2");
}

}  // namespace

TF_Coord::TF_Coord(ui::Control* owner) : ui::Control(owner, ui::Kind::Form, "F_Coord") {
  caption = "Mix Channel 2";
  width = kClientWidth;
  height = kClientHeight;
  color = ui::kBlack;
  visible = false;
  build_controls();
  bind_events();
}

void TF_Coord::build_controls() {
  using ui::Kind;
  // The plane, its grid and scales.
  S_Coord = make(this, Kind::Shape, "S_Coord", 0, 0, mix::kPlaneSize, mix::kPlaneSize);
  S_Coord->shape.type = ui::ShapeType::Square;
  S_Coord->shape.pen = ui::kYellow;
  S_Coord->color = ui::kNavy;
  for (const Line& l : kPhaseLines) {
    line(this, l.name, 0, l.at, mix::kPlaneSize, 1, l.color, l.dotted);
  }
  for (const Line& l : kMagnitudeLines) {
    line(this, l.name, l.at, 0, 1, mix::kPlaneSize, l.color, l.dotted);
  }
  for (const Scale& s : kDbScale)
    scale_label(this, s.name, s.caption, s.at, kScaleBelowTop, s.color);
  for (const Scale& s : kDegreeScale) {
    scale_label(this, s.name, s.caption, kScaleRightLeft, s.at, s.color);
  }

  // The marker at 0 dB, 0 degrees; mouse moves pass through it to the plane.
  S_Dot = make(this, Kind::Shape, "S_Dot", mix::kZeroDbX - mix::kDotHalf,
               mix::kPlaneHalf - mix::kDotHalf, mix::kDotSize, mix::kDotSize);
  S_Dot->shape.type = ui::ShapeType::Circle;
  S_Dot->shape.pen = ui::kLime;
  S_Dot->color = ui::kLime;
  S_Dot->enabled = false;
  constexpr int kRingSize = mix::kDotSize + 2 * mix::kRingOffset;
  S_Circle = make(this, Kind::Shape, "S_Circle", S_Dot->left - mix::kRingOffset,
                  S_Dot->top - mix::kRingOffset, kRingSize, kRingSize);
  S_Circle->shape.type = ui::ShapeType::Circle;
  S_Circle->shape.pen = ui::kLime;
  S_Circle->shape.hollow = true;
  S_Circle->enabled = false;

  // Magnitude.
  Label23 = make(this, Kind::Label, "Label23", kSideLeft, 8, kSideWidth, 13);
  Label23->caption = "Magnitude";
  Label23->font_color = ui::kWhite;
  ScrollBox1 = make(this, Kind::Panel, "ScrollBox1", kSideLeft, 26, kSideWidth, 27);
  E_Mag = make(ScrollBox1, Kind::Edit, "E_Mag", 2, 2, 78, 21);
  SB_Mag = make(ScrollBox1, Kind::SpinButton, "SB_Mag", 82, 2, 18, 21);
  RG_MagRes = make(this, Kind::GroupBox, "RG_MagRes", kSideLeft, 60, kSideWidth, 84);
  RG_MagRes->caption = "Resolution";
  RG_MagRes->items = {"0.1", "0.01", "0.001"};
  RG_MagRes->set_item_index(2);

  // Phase.
  Label24 = make(this, Kind::Label, "Label24", kSideLeft, 200, kSideWidth, 13);
  Label24->caption = "Phase \xB0";
  Label24->font_color = ui::kWhite;
  ScrollBox2 = make(this, Kind::Panel, "ScrollBox2", kSideLeft, 218, kSideWidth, 27);
  E_Phase = make(ScrollBox2, Kind::Edit, "E_Phase", 2, 2, 78, 21);
  SB_Phase = make(ScrollBox2, Kind::SpinButton, "SB_Phase", 82, 2, 18, 21);
  RG_PhaseRes = make(this, Kind::GroupBox, "RG_PhaseRes", kSideLeft, 252, kSideWidth, 64);
  RG_PhaseRes->caption = "Resolution";
  RG_PhaseRes->items = {"0.1", "0.01"};
  RG_PhaseRes->set_item_index(1);

  for (ui::Control* e : {E_Mag, E_Phase}) {
    e->read_only = true;
    e->numbers_only = true;
    e->centered = true;
    e->max_length = 11;
    e->color = ui::kWhite;
  }
  // Design texts, written before the change handlers are bound.
  E_Mag->set_text("1,000");
  E_Phase->set_text("0,00");
}

void TF_Coord::bind_events() {
  auto bind = [this](ui::Handler& slot, void (TF_Coord::*handler)(ui::Control*)) {
    slot = [this, handler](ui::Control* sender) { (this->*handler)(sender); };
  };
  auto bind_wheel = [this](ui::WheelHandler& slot, void (TF_Coord::*handler)(ui::Control*, bool*)) {
    slot = [this, handler](ui::Control* sender, bool* handled) {
      (this->*handler)(sender, handled);
    };
  };
  S_Coord->on_mouse_move = [this](ui::Control* sender, ui::ShiftState shift, int x, int y) {
    S_CoordMouseMove(sender, shift, x, y);
  };
  bind(SB_Mag->on_down_click, &TF_Coord::SB_MagDownClick);
  bind(SB_Mag->on_up_click, &TF_Coord::SB_MagUpClick);
  bind(SB_Phase->on_down_click, &TF_Coord::SB_PhaseDownClick);
  bind(SB_Phase->on_up_click, &TF_Coord::SB_PhaseUpClick);
  bind_wheel(ScrollBox1->on_mouse_wheel_down, &TF_Coord::ScrollBox1MouseWheelDown);
  bind_wheel(ScrollBox1->on_mouse_wheel_up, &TF_Coord::ScrollBox1MouseWheelUp);
  bind_wheel(ScrollBox2->on_mouse_wheel_down, &TF_Coord::ScrollBox2MouseWheelDown);
  bind_wheel(ScrollBox2->on_mouse_wheel_up, &TF_Coord::ScrollBox2MouseWheelUp);
  bind(E_Mag->on_change, &TF_Coord::E_MagChange);
  bind(E_Phase->on_change, &TF_Coord::E_PhaseChange);
}

void TF_Coord::set_marker_left(int left) {
  S_Dot->left = left;
  S_Circle->left = left - mix::kRingOffset;
}

void TF_Coord::set_marker_top(int top) {
  S_Dot->top = top;
  S_Circle->top = top - mix::kRingOffset;
}

void TF_Coord::S_CoordMouseMove(ui::Control*, ui::ShiftState Shift, int X, int Y) {
  if ((Shift & (ui::kLeftButton | ui::kTouch)) == 0) return;
  // 1. The marker's centre follows the pointer, kept on the plane.
  set_marker_left(mix::clamp_marker(static_cast<long long>(X) - mix::kDotHalf));
  set_marker_top(mix::clamp_marker(static_cast<long long>(Y) - mix::kDotHalf));
  // 2. The values it shows; each text change places the marker from the rounded value.
  E_Phase->set_text(mix::format_fixed(mix::phase_at(S_Dot->top), mix::kPhaseDecimals));
  E_Mag->set_text(mix::format_fixed(mix::magnitude_at(S_Dot->left), mix::kMagnitudeDecimals));
  // 3. To the receiver.
  mix_send();
}

void TF_Coord::magnitude_step(bool up) {
  std::optional<double> value = mix::parse_number(E_Mag->text());
  if (!value) return report_not_a_number(E_Mag->text());
  double next = mix::step_magnitude(*value, mix::magnitude_step(RG_MagRes->item_index()), up);
  E_Mag->set_text(mix::format_fixed(next, mix::kMagnitudeDecimals));
  mix_send();
}

void TF_Coord::phase_step(bool up) {
  std::optional<double> value = mix::parse_number(E_Phase->text());
  if (!value) return report_not_a_number(E_Phase->text());
  double next = mix::step_phase(*value, mix::phase_step(RG_PhaseRes->item_index()), up);
  E_Phase->set_text(mix::format_fixed(next, mix::kPhaseDecimals));
  mix_send();
}

void TF_Coord::SB_MagDownClick(ui::Control*) {
  magnitude_step(false);
}
void TF_Coord::SB_MagUpClick(ui::Control*) {
  magnitude_step(true);
}
void TF_Coord::SB_PhaseDownClick(ui::Control*) {
  phase_step(false);
}
void TF_Coord::SB_PhaseUpClick(ui::Control*) {
  phase_step(true);
}

void TF_Coord::ScrollBox1MouseWheelDown(ui::Control*, bool* Handled) {
  SB_MagDownClick(SB_Mag);
  *Handled = true;
}
void TF_Coord::ScrollBox1MouseWheelUp(ui::Control*, bool* Handled) {
  SB_MagUpClick(SB_Mag);
  *Handled = true;
}
void TF_Coord::ScrollBox2MouseWheelDown(ui::Control*, bool* Handled) {
  SB_PhaseDownClick(SB_Phase);
  *Handled = true;
}
void TF_Coord::ScrollBox2MouseWheelUp(ui::Control*, bool* Handled) {
  SB_PhaseUpClick(SB_Phase);
  *Handled = true;
}

void TF_Coord::E_MagChange(ui::Control*) {
  std::optional<double> magnitude = mix::parse_number(E_Mag->text());
  if (!magnitude) return report_not_a_number(E_Mag->text());
  set_marker_left(mix::left_for(*magnitude));
}

void TF_Coord::E_PhaseChange(ui::Control*) {
  std::optional<double> phase = mix::parse_number(E_Phase->text());
  if (!phase) return report_not_a_number(E_Phase->text());
  set_marker_top(mix::top_for(*phase, S_Dot->top));
}

void TF_Coord::mix_send() {
  // 1. Nothing to send to while the plug-in is closed.
  if (plugin::g_plugin.open_count.load() == 0) return;
  // 2. Whatever fails from here on ends the send silently.
  try {
    auto* panel = dynamic_cast<TF_RDR1*>(parent());
    if (panel == nullptr) return;
    // 3. The pair: the values shown in Diversity (neutral where a text is not a number), else
    // the neutral pair.
    const bool diversity = panel->RB_Cdiv->checked();
    mix::Words words{mix::kNeutralMagnitudeWord, mix::kNeutralPhaseWord};
    if (diversity) {
      std::optional<double> magnitude = mix::parse_number(E_Mag->text());
      if (!magnitude) {
        E_Mag->set_text(mix::format_fixed(1.0, mix::kMagnitudeDecimals));
        magnitude = 1.0;
      }
      std::optional<double> phase = mix::parse_number(E_Phase->text());
      if (!phase) {
        E_Phase->set_text(mix::format_fixed(0.0, mix::kPhaseDecimals));
        phase = 0.0;
      }
      words = mix::coefficient_words(*magnitude, *phase);
    }
    // 4. Once per pair; recorded before queuing, so a pair dropped at the cap is not retried.
    if (words.magnitude == mix::g_mix.last_magnitude && words.phase == mix::g_mix.last_phase) {
      return;
    }
    mix::g_mix.last_magnitude = words.magnitude;
    mix::g_mix.last_phase = words.phase;
    // 5, 6. Register 9 on whichever link is up; a drag in Diversity must not flood the queue,
    // while a mode change always gets its neutral pair queued.
    commands::send(
        commands::mix(static_cast<uint16_t>(words.magnitude), static_cast<uint16_t>(words.phase)),
        commands::Route::kAnyLink,
        diversity ? std::optional<size_t>(commands::kMixCap) : std::nullopt);
  } catch (...) {
  }
}
