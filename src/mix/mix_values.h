// The mix plane's arithmetic: marker position to magnitude and phase and back, the spin steps,
// the number texts and the coefficient words sent to the receiver.
//
// The plane is 401 x 401 pixels: magnitude 10 pixels per dB from -24 dB at the left edge, phase
// one pixel per degree with 0 on the middle line and positive upwards, the outermost 20 pixels at
// top and bottom wrapping past +-180 degrees.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mix {

constexpr int kPlaneSize = 401;             // S_Coord width and height (W, H)
constexpr int kPlaneHalf = kPlaneSize / 2;  // h: the 0 degree line
constexpr int kDotSize = 6;                 // S_Dot width and height
constexpr int kDotHalf = kDotSize / 2;
constexpr int kRingOffset = 20;             // S_Circle sits this far up and left of S_Dot
constexpr int kMarkerMin = -kDotHalf;       // marker left/top: centre on the plane's edge
constexpr int kMarkerMax = kPlaneSize - 4;  // 397
constexpr int kZeroDbX = 240;               // centre x of 0 dB
constexpr int kWrapBand = 160;              // degrees where the top and bottom bands begin
constexpr double kWrapThreshold = 159.8;    // phase beyond which a marker stays in its band

constexpr double kMagnitudeMin = 0.063;  // -24 dB, rounded as shown
constexpr double kMagnitudeMax = 6.31;   // +16 dB
constexpr double kPhaseMax = 180.0;
constexpr int kMagnitudeDecimals = 3;
constexpr int kPhaseDecimals = 2;

// Neutral coefficients: magnitude 1, phase 0 (outside Diversity, and 1.000 / 0.00 in it).
constexpr int32_t kNeutralMagnitudeWord = 0x1FFF;
constexpr int32_t kNeutralPhaseWord = 0;

// ---- Number texts ----

// A decimal number as typed or restored: optional spaces and sign, digits with one decimal
// separator ('.', ',' or the C locale's), optional exponent. Nothing when it is not a number.
std::optional<double> parse_number(const std::string& text);
// Fixed point with the C locale's decimal separator, no thousands separator, never "-0.00".
std::string format_fixed(double value, int decimals);
// The error text the toolkit shows for a text that is not a number.
std::string not_a_number_text(const std::string& text);

// ---- Marker and values ----

// A marker left/top on the plane: centre from edge to edge.
int clamp_marker(long long position);
// Marker left/top (already clamped) to the values it shows.
double magnitude_at(int dot_left);
int phase_at(int dot_top);
// Values to the marker's left/top, clamped. The phase keeps a marker near +-180 degrees in the
// band (top or bottom) where it already is.
int left_for(double magnitude);
int top_for(double phase, int current_top);

// ---- Spin and wheel steps ----

// Step size by the selected resolution index.
double magnitude_step(int resolution_index);
double phase_step(int resolution_index);
// One step up or down: the magnitude stops at its limits, the phase wraps past +-180.
double step_magnitude(double value, double step, bool up);
double step_phase(double value, double step, bool up);

// ---- Coefficient words ----

struct Words {
  int32_t magnitude;  // unsigned 16 bits, 13 fractional bits
  int32_t phase;      // signed 16 bits, 32767 = 180 degrees
};
// Single precision like the receiver, clamped to the plane's range first so that no stored or
// typed text can leave the 16-bit words.
Words coefficient_words(double magnitude, double phase);

}  // namespace mix
