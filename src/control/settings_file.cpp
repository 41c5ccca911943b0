// Settings file: a line per control, "<class> <name> <key>=<value>...", values either integers or
// quoted strings with backslash escapes. Restored in a fixed order, written as
// new-file-then-rename.
#include "control/settings_file.h"

#include <charconv>
#include <cstdio>
#include <optional>
#include <vector>

#include "control/Form1.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "usb/command_queue.h"

namespace settings {

namespace {

enum class Field { kChecked, kItemIndex, kCaption, kCaptionTag, kValue, kText };

struct RecordLayout {
  const char* cls;
  const char* name;
  Field field;
};

constexpr RecordLayout kRecords[] = {
    {"TRadioButton", "RB_VHF1", Field::kChecked},
    {"TRadioButton", "RB_HF1", Field::kChecked},
    {"TCheckBox", "CB_PreAmp", Field::kChecked},
    {"TCheckBox", "CB_Sontop", Field::kChecked},
    {"TComboBox", "C_Ant1", Field::kItemIndex},
    {"TLabel", "L_Att1", Field::kCaption},
    {"TLabel", "L_Pos1", Field::kCaption},
    {"TRadioButton", "RB_C1", Field::kChecked},
    {"TRadioButton", "RB_HF2", Field::kChecked},
    {"TComboBox", "C_Ant2", Field::kItemIndex},
    {"TLabel", "L_Att2", Field::kCaption},
    {"TLabel", "L_Pos2", Field::kCaption},
    {"TRadioButton", "RB_Cpar", Field::kChecked},
    {"TRadioButton", "RB_Cdiv", Field::kChecked},
    {"TRadioButton", "RB_CserU", Field::kChecked},
    {"TRadioButton", "RB_CserL", Field::kChecked},
    {"TRadioButton", "RB_Csep", Field::kChecked},
    {"TSpinEdit", "SB_CLK", Field::kValue},
    {"TEdit", "E_Freq0", Field::kText},
    {"TEdit", "E_Freq1", Field::kText},
    {"TComboBox", "C_LAN1", Field::kItemIndex},
    {"TComboBox", "C_USB1", Field::kItemIndex},
    {"TComboBox", "C_LAN2", Field::kItemIndex},
    {"TComboBox", "C_USB2", Field::kItemIndex},
    {"TLabel", "L_BitsU", Field::kCaptionTag},
    {"TLabel", "L_BitsL", Field::kCaptionTag},
    {"TEdit", "E_IP", Field::kText},
    {"TEdit", "E_LANSN", Field::kText},
    {"TEdit", "E_GPS", Field::kText},
    {"TEdit", "E_Mag", Field::kText},
    {"TEdit", "E_Phase", Field::kText},
};
constexpr size_t kRecordCount = sizeof(kRecords) / sizeof(kRecords[0]);
static_assert(kRecordCount == 31);

constexpr size_t kMaxFileBytes = 64 * 1024;  // the real file is about 1 KB
constexpr const char* kCaption = "KMV410 Control";
constexpr int kMaxTextLength = 11;  // the frequency and mix edits

std::string quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof(hex), "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::optional<int> to_int(const std::string& s) {
  int v = 0;
  const char* b = s.data();
  const char* e = b + s.size();
  if (b != e && *b == '+') ++b;
  auto [p, ec] = std::from_chars(b, e, v);
  if (ec != std::errc() || p != e || b == e) return std::nullopt;
  return v;
}

// One parsed line: class, name and its key/value pairs (values unquoted).
struct Line {
  std::string cls, name;
  std::vector<std::pair<std::string, std::string>> values;
  const std::string* get(const char* key) const {
    for (auto& kv : values) {
      if (kv.first == key) return &kv.second;
    }
    return nullptr;
  }
};

bool parse_line(const std::string& text, Line* line) {
  size_t i = 0;
  auto skip_spaces = [&] {
    while (i < text.size() && text[i] == ' ') ++i;
  };
  auto word = [&](std::string* out) {
    size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '=') ++i;
    *out = text.substr(start, i - start);
    return !out->empty();
  };
  skip_spaces();
  if (!word(&line->cls)) return false;
  skip_spaces();
  if (!word(&line->name)) return false;
  for (;;) {
    skip_spaces();
    if (i >= text.size()) return true;
    std::string key, value;
    if (!word(&key) || i >= text.size() || text[i] != '=') return false;
    ++i;
    if (i < text.size() && text[i] == '"') {
      ++i;
      bool closed = false;
      while (i < text.size()) {
        char c = text[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c != '\\') {
          value += c;
          continue;
        }
        if (i >= text.size()) return false;
        char e = text[i++];
        if (e == 'x') {
          if (i + 2 > text.size()) return false;
          unsigned v = 0;
          auto [p, ec] = std::from_chars(text.data() + i, text.data() + i + 2, v, 16);
          if (ec != std::errc() || p != text.data() + i + 2) return false;
          value += static_cast<char>(v);
          i += 2;
        } else if (e == '"' || e == '\\') {
          value += e;
        } else {
          return false;
        }
      }
      if (!closed) return false;
    } else {
      word(&value);
      if (!to_int(value)) return false;
    }
    line->values.emplace_back(std::move(key), std::move(value));
  }
}

std::string damaged(const std::string& file, size_t record, const std::string& why) {
  return "Error reading " + file + ", record " + std::to_string(record + 1) + ": " + why;
}

bool digits_only(const std::string& s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A number as the mix window writes it: optional sign, digits, one ',' or '.' separator.
bool is_decimal(const std::string& v) {
  size_t i = (!v.empty() && (v[0] == '-' || v[0] == '+')) ? 1 : 0;
  bool digits = false, separator = false;
  for (; i < v.size(); ++i) {
    if (v[i] >= '0' && v[i] <= '9') {
      digits = true;
    } else if ((v[i] == ',' || v[i] == '.') && !separator) {
      separator = true;
    } else {
      return false;
    }
  }
  return digits;
}

// Text values the panel can take; anything else keeps the design text.
bool text_fits(const std::string& name, const std::string& v) {
  if (name == "E_IP") return v.size() <= 15;
  if (name == "E_LANSN") return v.size() <= 15 && digits_only(v);
  if (name == "E_GPS") return v.size() <= 5 && to_int(v).has_value();
  if (name == "E_Mag" || name == "E_Phase") return v.size() <= 11 && is_decimal(v);
  return v.size() <= static_cast<size_t>(kMaxTextLength);
}

// Attenuator position from its label: shown value + 7, on the scroll bar's 0..35. The range is
// checked before the sum, which a caption near INT_MAX would overflow.
void restore_attenuator(ui::Control* label, ui::Control* bar, size_t echo_index, int shown) {
  constexpr int kOffset = 7;
  int pos = 0;
  if (shown >= bar->min - kOffset && shown <= bar->max - kOffset) {
    pos = shown + kOffset;
  } else {
    label->caption = "-7";
  }
  bar->set_position(pos);
  usb::g_status.settings_echo[echo_index] = static_cast<uint32_t>(pos);
}

// Antenna control position from its label: BEL3 shows the value itself, the direction antennas
// show degrees. Rounding up makes every shown direction survive a save and restore.
void restore_antenna(ui::Control* ant, ui::Control* label, ui::Control* bar, size_t echo_index,
                     int shown) {
  constexpr int kBel3 = 3;
  long long pos = ant->item_index() == kBel3 ? shown : (shown * 1288LL + 999) / 1000;
  int limit = ant->item_index() == kBel3 ? 99 : 232;
  if (shown < 0 || pos > limit) {
    pos = 0;
    label->caption = "0";
  }
  bar->set_position(static_cast<int>(pos));
  usb::g_status.settings_echo[echo_index] = static_cast<uint32_t>(pos);
}

// Apply one record; returns the error text of a damaged record, empty when it was taken.
std::string apply(TF_RDR1& f, size_t index, const Line& line, const std::string& file) {
  const RecordLayout& layout = kRecords[index];
  if (line.cls != layout.cls || line.name != layout.name) {
    return damaged(file, index, "expected " + std::string(layout.cls) + " " + layout.name);
  }
  ui::Control* c = f.find(layout.name);
  if (!c) return damaged(file, index, std::string("no control ") + layout.name);
  static const std::string kNone;
  std::string missing;
  auto need = [&](const char* key) -> const std::string& {
    const std::string* v = line.get(key);
    if (v) return *v;
    if (missing.empty()) missing = key;
    return kNone;
  };
  switch (layout.field) {
    case Field::kChecked: {
      auto v = to_int(need("Checked"));
      if (v && (*v == 0 || *v == 1)) c->set_checked(*v == 1);
      break;
    }
    case Field::kItemIndex: {
      auto v = to_int(need("ItemIndex"));
      if (v && *v >= 0 && *v < static_cast<int>(c->items.size())) c->set_item_index(*v);
      break;
    }
    case Field::kCaption: {
      const std::string& v = need("Caption");
      if (!missing.empty()) break;
      if (!to_int(v)) return damaged(file, index, "'" + v + "' is not a valid integer value");
      c->caption = v;
      break;
    }
    case Field::kCaptionTag: {
      const std::string& v = need("Caption");
      auto tag = to_int(need("Tag"));
      if (to_int(v) && v.size() <= 3 && tag && (*tag == 0 || *tag == 1)) {
        c->caption = v;
        c->tag = *tag;
      }
      break;
    }
    case Field::kValue: {
      auto v = to_int(need("Value"));
      if (v && *v >= c->min && *v <= c->max) c->set_text(std::to_string(*v));
      break;
    }
    case Field::kText: {
      const std::string& v = need("Text");
      if (missing.empty() && text_fits(layout.name, v)) c->set_text(v);
      break;
    }
  }
  if (!missing.empty()) return damaged(file, index, "missing " + missing);
  return {};
}

}  // namespace

std::string file_name(const TF_RDR1& f) {
  return "KMV410" + f.L_Ver->caption;
}

Restore restore(TF_RDR1& f) {
  const std::string name = file_name(f);
  std::string content;
  if (!files::read(name, kMaxFileBytes + 1, &content)) return Restore::kNoFile;
  std::string error = restore_text(f, content, name);
  if (!error.empty()) {
    ui::message_box(error, kCaption);
    return Restore::kDamaged;
  }
  return Restore::kComplete;
}

std::string restore_text(TF_RDR1& f, const std::string& content, const std::string& name) {
  std::string error;
  if (content.size() > kMaxFileBytes) error = damaged(name, 0, "file too large");
  size_t pos = 0;
  for (size_t i = 0; i < kRecordCount && error.empty(); ++i) {
    if (pos >= content.size()) {
      error = damaged(name, i, "unexpected end of file");
      break;
    }
    size_t end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    std::string text = content.substr(pos, end - pos);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    pos = end + 1;
    Line line;
    if (!parse_line(text, &line)) {
      error = damaged(name, i, "invalid record");
      break;
    }
    error = apply(f, i, line, name);
    if (error.empty()) {
      switch (i + 1) {
        case 6:
          restore_attenuator(f.L_Att1, f.TB_Att1, 1, *to_int(f.L_Att1->caption));
          break;
        case 7:
          restore_antenna(f.C_Ant1, f.L_Pos1, f.TB_Pos1, 3, *to_int(f.L_Pos1->caption));
          break;
        case 11:
          restore_attenuator(f.L_Att2, f.TB_Att2, 2, *to_int(f.L_Att2->caption));
          break;
        case 12:
          restore_antenna(f.C_Ant2, f.L_Pos2, f.TB_Pos2, 4, *to_int(f.L_Pos2->caption));
          break;
        default:
          break;
      }
    }
  }
  return error;
}

std::string text_of(const TF_RDR1& f) {
  TF_RDR1& panel = const_cast<TF_RDR1&>(f);
  std::string out;
  for (const RecordLayout& layout : kRecords) {
    ui::Control* c = panel.find(layout.name);
    if (!c) continue;
    out += layout.cls;
    out += ' ';
    out += layout.name;
    switch (layout.field) {
      case Field::kChecked:
        out += c->checked() ? " Checked=1" : " Checked=0";
        break;
      case Field::kItemIndex:
        out += " ItemIndex=" + std::to_string(c->item_index());
        break;
      case Field::kCaption:
        out += " Caption=" + quote(c->caption);
        break;
      case Field::kCaptionTag:
        out += " Caption=" + quote(c->caption) + " Tag=" + std::to_string(c->tag);
        break;
      case Field::kValue:
        out += " Value=" + std::to_string(c->value());
        break;
      case Field::kText:
        out += " Text=" + quote(c->text());
        break;
    }
    out += '\n';
  }
  return out;
}

bool save(const TF_RDR1& f) {
  std::string error;
  const std::string name = file_name(f);
  if (files::replace(name, text_of(f), &error)) return true;
  ui::message_box("Cannot write " + name + ": " + error, kCaption);
  return false;
}

}  // namespace settings
