// TGauge: its properties and their limits, Percent, when it repaints, and its pixels.
#include <gtest/gtest.h>

#include "win/app/Gauges.h"

namespace {

constexpr std::uint32_t kBlack = 0x000000;
constexpr std::uint32_t kWhite = 0xFFFFFF;

struct GaugeTest : ::testing::Test {
  nuv::forms::BuiltinFont font{1};
  TGauge gauge{font};
};

TEST_F(GaugeTest, DefaultsAreThoseOfTheClassLibrary) {
  EXPECT_EQ(gauge.Kind(), gkHorizontalBar);
  EXPECT_TRUE(gauge.ShowText());
  EXPECT_EQ(gauge.BorderStyle(), bsSingle);
  EXPECT_EQ(gauge.ForeColor(), nuv::forms::kClBlack);
  EXPECT_EQ(gauge.BackColor(), nuv::forms::kClWhite);
  EXPECT_EQ(gauge.MinValue(), 0);
  EXPECT_EQ(gauge.MaxValue(), 100);
  EXPECT_EQ(gauge.Progress(), 0);
  EXPECT_EQ(gauge.width(), 100);
  EXPECT_EQ(gauge.height(), 100);
}

TEST_F(GaugeTest, PercentIsTruncatedNeverRounded) {
  gauge.SetMaxValue(65536);
  EXPECT_EQ(gauge.Percent(), 0);
  gauge.SetProgress(655);
  EXPECT_EQ(gauge.Percent(), 0);
  gauge.SetProgress(656);
  EXPECT_EQ(gauge.Percent(), 1);
  gauge.SetProgress(32767);
  EXPECT_EQ(gauge.Percent(), 49);
  gauge.SetProgress(65536);
  EXPECT_EQ(gauge.Percent(), 100);
}

TEST_F(GaugeTest, PercentSurvivesTheWidestRange) {
  gauge.SetMinValue(-2147483647);
  gauge.SetMaxValue(2147483647);
  gauge.SetProgress(0);
  EXPECT_EQ(gauge.Percent(), 50);
}

TEST_F(GaugeTest, ProgressIsClampedIntoTheRange) {
  gauge.SetMinValue(10);
  gauge.SetMaxValue(20);
  gauge.SetProgress(25);
  EXPECT_EQ(gauge.Progress(), 20);
  gauge.SetProgress(-5);
  EXPECT_EQ(gauge.Progress(), 10);
}

TEST_F(GaugeTest, EqualBoundsAreAcceptedAndGiveZeroPercent) {
  gauge.SetMaxValue(0);
  EXPECT_EQ(gauge.MaxValue(), 0);
  EXPECT_EQ(gauge.Percent(), 0);
}

TEST_F(GaugeTest, CrossingBoundsIsRefusedWithTheRangeText) {
  gauge.SetMinValue(5);
  gauge.SetProgress(50);
  try {
    gauge.SetMaxValue(4);
    FAIL() << "no exception";
  } catch (const EInvalidOperation& e) {
    EXPECT_STREQ(e.what(), "Value must be between 6 and 2147483647");
  }
  EXPECT_EQ(gauge.MaxValue(), 100);
  EXPECT_EQ(gauge.Progress(), 50);
  try {
    gauge.SetMinValue(101);
    FAIL() << "no exception";
  } catch (const EInvalidOperation& e) {
    EXPECT_STREQ(e.what(), "Value must be between -2147483647 and 99");
  }
  EXPECT_EQ(gauge.MinValue(), 5);
}

TEST_F(GaugeTest, LoadingSkipsTheRangeChecks) {
  gauge.SetLoading(true);
  gauge.SetMinValue(200);
  gauge.SetMaxValue(300);
  gauge.SetLoading(false);
  EXPECT_EQ(gauge.MinValue(), 200);
  EXPECT_EQ(gauge.MaxValue(), 300);
}

TEST_F(GaugeTest, MovingABoundDragsProgressAlong) {
  gauge.SetProgress(80);
  gauge.SetMaxValue(60);
  EXPECT_EQ(gauge.Progress(), 60);
  EXPECT_THROW(gauge.SetMinValue(70), EInvalidOperation);
  gauge.SetMaxValue(100);
  gauge.SetMinValue(70);
  EXPECT_EQ(gauge.Progress(), 70);
}

TEST_F(GaugeTest, RepaintsOnlyWhenPercentChanges) {
  gauge.SetMaxValue(65536);
  const auto before = gauge.PaintCount();
  gauge.SetProgress(656);
  EXPECT_EQ(gauge.PaintCount(), before + 1);
  gauge.SetProgress(700);  // still 1 %
  EXPECT_EQ(gauge.Progress(), 700);
  EXPECT_EQ(gauge.PaintCount(), before + 1);
  gauge.SetProgress(700);
  EXPECT_EQ(gauge.PaintCount(), before + 1);
  gauge.SetMaxValue(65536);  // unchanged: nothing
  EXPECT_EQ(gauge.PaintCount(), before + 1);
  gauge.SetForeColor(nuv::forms::rgb(0, 0, 255));
  EXPECT_EQ(gauge.PaintCount(), before + 2);
}

TEST_F(GaugeTest, TheWindowIsToldOnlyWhenThePictureChanged) {
  gauge.SetMaxValue(65536);
  int told = 0;
  gauge.observe([&] { ++told; });
  gauge.SetProgress(656);
  EXPECT_EQ(told, 1);
  // The download loop repaints after every Write; most of them change no pixel.
  gauge.Repaint();
  gauge.Repaint();
  EXPECT_EQ(told, 1);
  gauge.SetProgress(1312);
  EXPECT_EQ(told, 2);
}

TEST_F(GaugeTest, AHiddenGaugePaintsNothing) {
  gauge.setVisible(false);
  gauge.SetProgress(50);
  EXPECT_EQ(gauge.PaintCount(), 0u);
}

// Pixel tests on a gauge of 558 x 33 as the window has it.
struct GaugePixels : GaugeTest {
  void SetUp() override {
    gauge.setBounds(0, 0, 558, 33);
    gauge.SetMaxValue(65536);
  }
  [[nodiscard]] std::uint32_t at(int x, int y) const { return gauge.Image().pixel(x, y); }
  // Whether (x, y) is a pixel of the text, by the builtin font's placement.
  [[nodiscard]] nuv::forms::Bitmap textMask(const std::string& text) const {
    nuv::forms::Bitmap mask;
    mask.resize(558, 33);
    const auto e = font.measure(text);
    font.drawWhite(mask, (557 - e.width) / 2, (32 - e.height) / 2, text, {1, 1, 557, 32});
    return mask;
  }
};

TEST_F(GaugePixels, ZeroPercentIsAFrameAroundWhiteWithBlackText) {
  gauge.Repaint();
  const nuv::forms::Bitmap mask = textMask("0%");
  for (int y = 0; y < 33; ++y) {
    for (int x = 0; x < 558; ++x) {
      const bool frame = x == 0 || y == 0 || x == 557 || y == 32;
      const bool text = mask.pixel(x, y) != 0;
      ASSERT_EQ(at(x, y), frame || text ? kBlack : kWhite) << x << "," << y;
    }
  }
}

TEST_F(GaugePixels, FullBarFillsTheInnerRectangleAndTheTextIsWhiteOnIt) {
  gauge.SetProgress(65536);
  const nuv::forms::Bitmap mask = textMask("100%");
  for (int y = 0; y < 33; ++y) {
    for (int x = 0; x < 558; ++x) {
      const bool frame = x == 0 || y == 0 || x == 557 || y == 32;
      const bool text = mask.pixel(x, y) != 0;
      ASSERT_EQ(at(x, y), !frame && text ? kWhite : kBlack) << x << "," << y;
    }
  }
}

TEST_F(GaugePixels, BarEndsAtTruncatedFractionOfTheInnerWidthPlusOne) {
  gauge.SetForeColor(nuv::forms::rgb(0, 0, 255));
  gauge.SetShowText(false);
  gauge.SetProgress(32767);  // 49 %
  // W = 557, x = trunc(557 * 0.49) = 272: the bar covers columns 1..271.
  EXPECT_EQ(at(1, 1), 0x0000FFu);
  EXPECT_EQ(at(271, 31), 0x0000FFu);
  EXPECT_EQ(at(272, 1), kWhite);
  EXPECT_EQ(at(556, 31), kWhite);
  EXPECT_EQ(at(271, 32), kBlack);  // frame
}

TEST_F(GaugePixels, TextIsTheComplementOfWhatLiesUnderIt) {
  gauge.SetForeColor(nuv::forms::rgb(0, 0, 255));    // pixel 0x0000FF
  gauge.SetBackColor(nuv::forms::rgb(255, 255, 0));  // pixel 0xFFFF00
  gauge.SetProgress(32767);
  const nuv::forms::Bitmap mask = textMask("49%");
  int onBar = 0, offBar = 0;
  for (int y = 1; y < 32; ++y) {
    for (int x = 1; x < 557; ++x) {
      const std::uint32_t under = x < 272 ? 0x0000FFu : 0xFFFF00u;
      const std::uint32_t want = mask.pixel(x, y) != 0 ? (under ^ 0xFFFFFFu) : under;
      ASSERT_EQ(at(x, y), want) << x << "," << y;
      if (mask.pixel(x, y) != 0) ++(x < 272 ? onBar : offBar);
    }
  }
  EXPECT_GT(onBar, 0);  // the text straddles the bar's end
  EXPECT_GT(offBar, 0);
}

TEST_F(GaugePixels, WithoutBorderTheBarStartsAtTheEdge) {
  gauge.SetBorderStyle(bsNone);
  gauge.SetShowText(false);
  gauge.SetProgress(65536);
  EXPECT_EQ(at(0, 0), kBlack);
  EXPECT_EQ(at(557, 32), kBlack);
  gauge.SetBackColor(nuv::forms::rgb(255, 0, 0));
  gauge.SetProgress(0);
  EXPECT_EQ(at(0, 0), 0xFF0000u);
  EXPECT_EQ(at(557, 32), 0xFF0000u);
}

TEST_F(GaugePixels, ObserversHearEveryPaint) {
  int heard = 0;
  gauge.observe([&] { ++heard; });
  gauge.SetProgress(656);
  gauge.SetProgress(700);
  gauge.SetProgress(1311);
  EXPECT_EQ(heard, 2);
}

}  // namespace
