#include "app/frames.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace {

TEST(EncodeResultFrame, PrefixesLittleEndianByteCount) {
  const std::string text(100, 'x');
  std::string frame;
  ASSERT_TRUE(EncodeResultFrame(text, frame));
  ASSERT_EQ(frame.size(), 102U);
  EXPECT_EQ(static_cast<unsigned char>(frame[0]), 0x64);
  EXPECT_EQ(static_cast<unsigned char>(frame[1]), 0x00);
  EXPECT_EQ(frame.substr(2), text);

  const std::string test_message = R"({"alert":-1,"brd":5.0,"dots":[1.0,2.0,3.0,4.0],"dirs":[10.0,45.0]})";
  ASSERT_TRUE(EncodeResultFrame(test_message, frame));
  EXPECT_EQ(frame, std::string("\x42\x00", 2) + test_message);
}

TEST(EncodeResultFrame, AcceptsLargestTextAndRefusesLongerOnes) {
  std::string frame = "stale";
  ASSERT_TRUE(EncodeResultFrame(std::string(65535, 'a'), frame));
  EXPECT_EQ(frame.size(), 65537U);
  EXPECT_EQ(static_cast<unsigned char>(frame[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(frame[1]), 0xFF);

  EXPECT_FALSE(EncodeResultFrame(std::string(65536, 'a'), frame));
  EXPECT_TRUE(frame.empty());
  EXPECT_FALSE(EncodeResultFrame(std::string(70000, 'a'), frame));
  EXPECT_TRUE(frame.empty());

  ASSERT_TRUE(EncodeResultFrame("", frame));
  EXPECT_EQ(frame, std::string("\x00\x00", 2));
}

TEST(EncodeSpectrumFrame, CountsValuesAndWritesLittleEndianFloats) {
  const float levels[] = {1.0F, -2.5F, -std::numeric_limits<float>::infinity()};
  std::vector<std::uint8_t> frame;
  EncodeSpectrumFrame(levels, 3, frame);
  const std::vector<std::uint8_t> expected = {0x03, 0x00,              // three values, not bytes
                                              0x00, 0x00, 0x80, 0x3F,  // 1.0f  = 0x3F800000
                                              0x00, 0x00, 0x20, 0xC0,  // -2.5f = 0xC0200000
                                              0x00, 0x00, 0x80, 0xFF}; // -inf  = 0xFF800000
  EXPECT_EQ(frame, expected);
}

TEST(EncodeSpectrumFrame, DefaultBandFrameIs1542BytesStarting0x81_0x01) {
  std::vector<float> levels(385, 0.0F);
  std::vector<std::uint8_t> frame(5000, 0xAA); // a reused, larger buffer shrinks to the frame
  EncodeSpectrumFrame(levels.data(), 385, frame);
  ASSERT_EQ(frame.size(), 1542U);
  EXPECT_EQ(frame[0], 0x81);
  EXPECT_EQ(frame[1], 0x01);

  EncodeSpectrumFrame(levels.data(), 0, frame);
  EXPECT_EQ(frame, (std::vector<std::uint8_t>{0x00, 0x00}));
}

} // namespace
