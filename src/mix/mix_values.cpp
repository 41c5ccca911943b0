// The mix plane's arithmetic.
#include "mix/mix_values.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>

namespace mix {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_space(char c) {
  return c == ' ' || c == '\t';
}

// Clamp in floating point before converting, so that no value is out of int's range.
int clamp_to_marker(double position) {
  return static_cast<int>(std::trunc(std::clamp(position, double(kMarkerMin), double(kMarkerMax))));
}

}  // namespace

std::optional<double> parse_number(const std::string& text) {
  // The design texts use a comma whatever the locale says; accept both and the locale's own.
  const char* locale_point = std::localeconv()->decimal_point;
  const std::string local = locale_point != nullptr && *locale_point != 0 ? locale_point : ".";
  size_t i = 0, n = text.size();
  while (i < n && is_space(text[i])) ++i;
  while (n > i && is_space(text[n - 1])) --n;

  std::string plain;  // the number with '.' as separator, for from_chars
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') plain += '-';
    ++i;
  }
  bool digits = false, separator = false;
  while (i < n) {
    if (is_digit(text[i])) {
      plain += text[i++];
      digits = true;
    } else if (!separator && (text[i] == '.' || text[i] == ',')) {
      plain += '.';
      ++i;
      separator = true;
    } else if (!separator && text.compare(i, local.size(), local) == 0) {
      plain += '.';
      i += local.size();
      separator = true;
    } else {
      break;
    }
  }
  if (!digits) return std::nullopt;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    plain += 'e';
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) plain += text[i++];
    bool exponent_digits = false;
    while (i < n && is_digit(text[i])) {
      plain += text[i++];
      exponent_digits = true;
    }
    if (!exponent_digits) return std::nullopt;
  }
  if (i != n) return std::nullopt;

  double value = 0;
  const char* end = plain.data() + plain.size();
  auto [p, ec] = std::from_chars(plain.data(), end, value);
  if (ec != std::errc() || p != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string format_fixed(double value, int decimals) {
  int n = std::snprintf(nullptr, 0, "%.*f", decimals, value);
  if (n <= 0) return "0";
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), "%.*f", decimals, value);
  out.resize(static_cast<size_t>(n));
  // A tiny negative value rounds to zero: show it without a sign.
  if (out[0] == '-' && out.find_first_of("123456789") == std::string::npos) out.erase(0, 1);
  return out;
}

std::string not_a_number_text(const std::string& text) {
  return "'" + text + "' is not a valid floating point value";
}

int clamp_marker(long long position) {
  return static_cast<int>(std::clamp<long long>(position, kMarkerMin, kMarkerMax));
}

double magnitude_at(int dot_left) {
  int x = kDotHalf + dot_left;  // 0 .. 400
  return std::pow(10.0, (x / 10.0 - 24.0) / 20.0);
}

int phase_at(int dot_top) {
  int y = kDotHalf + dot_top - kPlaneHalf;  // -200 .. 200, positive downwards
  int p = y > 180 ? y - 360 : y;
  if (p < -180) p += 360;
  return -p;
}

int left_for(double magnitude) {
  if (!(magnitude > 0)) return kMarkerMin;  // no dB value: the left edge
  return clamp_to_marker(200.0 * std::log10(magnitude) + kZeroDbX - kDotHalf);
}

int top_for(double phase, int current_top) {
  if (phase < -kWrapThreshold && current_top < kPlaneHalf) {
    return clamp_to_marker(-kWrapBand - phase - kDotHalf);
  }
  if (phase > kWrapThreshold && current_top > kPlaneHalf) {
    return clamp_to_marker(kWrapBand + kPlaneSize - phase - kDotHalf);
  }
  return clamp_to_marker(kPlaneHalf - phase - kDotHalf);
}

double magnitude_step(int resolution_index) {
  if (resolution_index == 2) return 0.001;
  if (resolution_index == 1) return 0.01;
  return 0.1;
}

double phase_step(int resolution_index) {
  return resolution_index == 1 ? 0.01 : 0.1;
}

double step_magnitude(double value, double step, bool up) {
  if (up) {
    double next = value + step;
    return next > kMagnitudeMax ? kMagnitudeMax : next;
  }
  double next = value - step;
  return kMagnitudeMin > next ? kMagnitudeMin : next;
}

double step_phase(double value, double step, bool up) {
  if (up) {
    double next = value + step;
    return next > kPhaseMax ? next - 360.0 : next;
  }
  double next = value - step;
  return next < -kPhaseMax ? next + 360.0 : next;
}

Words coefficient_words(double magnitude, double phase) {
  // 65535 / 8: unsigned 16 bits with 13 fractional bits.
  constexpr double kMagnitudeScale = 65535.0 * 0.125;
  constexpr double kPhaseScale = 32767.0 / kPhaseMax;
  float m = static_cast<float>(std::clamp(magnitude, kMagnitudeMin, kMagnitudeMax));
  float p = static_cast<float>(std::clamp(phase, -kPhaseMax, kPhaseMax));
  return {static_cast<int32_t>(std::trunc(double(m) * kMagnitudeScale)),
          static_cast<int32_t>(std::trunc(double(p) * kPhaseScale))};
}

}  // namespace mix
