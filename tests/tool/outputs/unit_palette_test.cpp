// The units' colours: told apart by eye, by the CIEDE2000 colour
// difference (computed here from sRGB through CIE Lab, D65).
#include "tool/outputs/unit_palette.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace kaldo::tool {
namespace {

struct lab {
  double l, a, b;
};

lab to_lab(rgb c) {
  const auto linear = [](unsigned char v) {
    const double u = v / 255.0;
    return u <= 0.04045 ? u / 12.92 : std::pow((u + 0.055) / 1.055, 2.4);
  };
  const double r = linear(c.red), g = linear(c.green), b = linear(c.blue);
  const double x = (0.4124564 * r + 0.3575761 * g + 0.1804375 * b) / 0.95047;
  const double y = 0.2126729 * r + 0.7151522 * g + 0.0721750 * b;
  const double z = (0.0193339 * r + 0.1191920 * g + 0.9503041 * b) / 1.08883;
  const auto f = [](double t) {
    return t > 216.0 / 24389.0 ? std::cbrt(t) : (24389.0 / 27.0 * t + 16.0) / 116.0;
  };
  return {116 * f(y) - 16, 500 * (f(x) - f(y)), 200 * (f(y) - f(z))};
}

double ciede2000(lab one, lab two) {
  const double deg = std::numbers::pi / 180.0;
  const auto pow7 = [](double v) { return std::pow(v, 7); };
  const double c_mean = (std::hypot(one.a, one.b) + std::hypot(two.a, two.b)) / 2;
  const double g = 0.5 * (1 - std::sqrt(pow7(c_mean) / (pow7(c_mean) + pow7(25))));
  const double a1 = (1 + g) * one.a, a2 = (1 + g) * two.a;
  const double c1 = std::hypot(a1, one.b), c2 = std::hypot(a2, two.b);
  const auto hue = [&](double a, double b) {
    const double h = std::atan2(b, a) / deg;
    return a == 0 && b == 0 ? 0.0 : (h < 0 ? h + 360 : h);
  };
  const double h1 = hue(a1, one.b), h2 = hue(a2, two.b);
  double dh = 0;
  if (c1 * c2 != 0) {
    dh = h2 - h1;
    if (dh > 180) dh -= 360;
    if (dh < -180) dh += 360;
  }
  const double dl = two.l - one.l, dc = c2 - c1;
  const double dhh = 2 * std::sqrt(c1 * c2) * std::sin(dh / 2 * deg);
  const double l_mean = (one.l + two.l) / 2, cp_mean = (c1 + c2) / 2;
  double h_mean = h1 + h2;
  if (c1 * c2 != 0) {
    h_mean = std::abs(h1 - h2) <= 180 ? (h1 + h2) / 2
             : h1 + h2 < 360          ? (h1 + h2 + 360) / 2
                                      : (h1 + h2 - 360) / 2;
  }
  const double t = 1 - 0.17 * std::cos((h_mean - 30) * deg) + 0.24 * std::cos(2 * h_mean * deg) +
                   0.32 * std::cos((3 * h_mean + 6) * deg) - 0.20 * std::cos((4 * h_mean - 63) * deg);
  const double theta = 30 * std::exp(-std::pow((h_mean - 275) / 25, 2));
  const double rc = 2 * std::sqrt(pow7(cp_mean) / (pow7(cp_mean) + pow7(25)));
  const double sl = 1 + 0.015 * std::pow(l_mean - 50, 2) / std::sqrt(20 + std::pow(l_mean - 50, 2));
  const double sc = 1 + 0.045 * cp_mean, sh = 1 + 0.015 * cp_mean * t;
  const double rt = -std::sin(2 * theta * deg) * rc;
  return std::sqrt(std::pow(dl / sl, 2) + std::pow(dc / sc, 2) + std::pow(dhh / sh, 2) +
                   rt * (dc / sc) * (dhh / sh));
}

// Pairs from the published test data of the formula (Sharma, Wu and
// Dalal), covering the hue wrap-around and the blue-region rotation: the
// check below means nothing if the formula is wrong.
TEST(UnitPalette, TheColourDifferenceMatchesPublishedValues) {
  const struct {
    lab one, two;
    double expected;
  } cases[] = {
      {{50, 2.6772, -79.7751}, {50, 0, -82.7485}, 2.0425},
      {{50, -1.3802, -84.2814}, {50, 0, -82.7485}, 1.0000},
      {{50, 0, 0}, {50, -1, 2}, 2.3669},
      {{50, 2.49, -0.001}, {50, -2.49, 0.0011}, 7.2195},
      {{50, 2.5, 0}, {73, 25, -18}, 27.1492},
      {{60.2574, -34.0099, 36.2677}, {60.4626, -34.1751, 39.4387}, 1.2644},
      {{22.7233, 20.0904, -46.6940}, {23.0331, 14.9730, -42.5619}, 2.0373},
      {{90.8027, -2.0831, 1.4410}, {91.1528, -1.6435, 0.0447}, 1.4441},
  };
  for (const auto& c : cases) EXPECT_NEAR(ciede2000(c.one, c.two), c.expected, 1e-4);
}

TEST(UnitPalette, TheFirstTwentyColoursDifferPairwiseAndFromEmergencyRed) {
  for (std::size_t i = 0; i < palette_size; ++i) {
    const lab one = to_lab(unit_style_at(i).colour);
    EXPECT_GE(ciede2000(one, to_lab(emergency_red)), 20.0) << hex_colour(unit_style_at(i).colour);
    for (std::size_t j = i + 1; j < palette_size; ++j) {
      EXPECT_GE(ciede2000(one, to_lab(unit_style_at(j).colour)), 10.0)
          << hex_colour(unit_style_at(i).colour) << " and " << hex_colour(unit_style_at(j).colour);
    }
  }
}

TEST(UnitPalette, ColoursRepeatOnlyWithAnotherDashPattern) {
  for (std::size_t i = 0; i < 4 * palette_size; ++i) {
    for (std::size_t j = i + 1; j < 4 * palette_size; ++j) {
      const unit_style a = unit_style_at(i), b = unit_style_at(j);
      const bool same_colour = hex_colour(a.colour) == hex_colour(b.colour);
      EXPECT_FALSE(same_colour && std::string(a.dashes) == b.dashes) << i << " and " << j;
    }
  }
  EXPECT_STREQ(unit_style_at(0).dashes, "");
  EXPECT_EQ(hex_colour(unit_style_at(palette_size).colour), hex_colour(unit_style_at(0).colour));
}

}  // namespace
}  // namespace kaldo::tool
