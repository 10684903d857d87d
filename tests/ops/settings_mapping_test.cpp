// How the settings record shows in the window and comes back from it.

#include <gtest/gtest.h>

#include "ops/settings.h"

namespace {

DeviceSettings Record(uint16_t baud100, uint8_t spare, uint8_t dataBits, char parity, uint8_t flags) {
  DeviceSettings s{};
  SettingsSetBaud100(s, baud100);
  s.Spare = spare;
  s.DataBits = dataBits;
  s.Parity = static_cast<uint8_t>(parity);
  s.Flags = flags;
  return s;
}

// The baud rate a typed text writes, or -1 when it is refused and the record
// (96, even parity) stays as it was, the parity row chosen meanwhile included.
int WrittenBaud(const std::string& text) {
  DeviceSettings s = Record(96, 0, 8, 'E', 0);
  SettingsView view = SettingsToView(s);
  view.baudRate = text;
  view.parityRow = 0;
  const bool taken = SettingsFromView(view, s);
  EXPECT_EQ(s.Parity, taken ? 'N' : 'E') << text;
  return taken ? SettingsBaud100(s) : (SettingsBaud100(s) == 96 ? -1 : -2);
}

TEST(SettingsMapping, DefaultRecordShowsAsTheConverterMeansIt) {
  const DeviceSettings s = {{0x60, 0x00}, 0x00, 0x08, 'N', 0x80};  // 9600 8N1, echo suppression
  const SettingsView view = SettingsToView(s);
  EXPECT_EQ(view.baudRate, "9600");
  EXPECT_EQ(view.parityRow, 0);
  EXPECT_EQ(view.dataBitsRow, 0);
  EXPECT_TRUE(view.echoSuppression);
  EXPECT_FALSE(view.twoStopBits);
}

TEST(SettingsMapping, BaudRateShown) {
  EXPECT_EQ(SettingsToView(Record(57, 0, 8, 'N', 0)).baudRate, "5760");
  EXPECT_EQ(SettingsToView(Record(576, 0, 8, 'N', 0)).baudRate, "57600");
  EXPECT_EQ(SettingsToView(Record(1152, 0, 8, 'N', 0)).baudRate, "115200");
  EXPECT_EQ(SettingsToView(Record(0, 0, 8, 'N', 0)).baudRate, "0");
  EXPECT_EQ(SettingsToView(Record(0xFFFF, 0, 8, 'N', 0)).baudRate, "6553500");
}

// Only a whole number the record can carry is written: nothing nobody typed.
TEST(SettingsMapping, BaudRateTyped) {
  const struct {
    const char* text;
    int written;
  } cases[] = {
      {"14450", 144},   {"5760", 57},      {"57600", 576},  {"100", 1},        {"6553599", 65535},
      {" 4800 ", 48},   {"", -1},          {"fast", -1},    {"9600 baud", -1}, {"+4800", -1},
      {"-100", -1},     {"99", -1},        {"0", -1},       {"6553600", -1},   {"60540000", -1},
      {"96 00", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(WrittenBaud(c.text), c.written) << '"' << c.text << '"';
}

TEST(SettingsMapping, ParityAndDataBitsRows) {
  const char letters[] = {'N', 'E', 'O', 'M', 'Z'};
  for (int row = 0; row < 5; ++row) EXPECT_EQ(SettingsToView(Record(96, 0, 8, letters[row], 0)).parityRow, row);
  for (char other : {'x', 'e', 'S', '\0'}) EXPECT_EQ(SettingsToView(Record(96, 0, 8, other, 0)).parityRow, 0) << other;

  EXPECT_EQ(SettingsToView(Record(96, 0, 8, 'N', 0)).dataBitsRow, 0);
  EXPECT_EQ(SettingsToView(Record(96, 0, 7, 'N', 0)).dataBitsRow, 1);
  for (uint8_t other : {9, 5, 6, 0, 255}) EXPECT_EQ(SettingsToView(Record(96, 0, other, 'N', 0)).dataBitsRow, 2);

  // An unknown value is written back as what its row stands for.
  DeviceSettings s = Record(96, 0, 5, 'x', 0);
  SettingsFromView(SettingsToView(s), s);
  EXPECT_EQ(s.DataBits, 9);
  EXPECT_EQ(s.Parity, 'N');
}

TEST(SettingsMapping, UnshownBitsTravelBackAsRead) {
  DeviceSettings s = Record(1152, 0xA5, 9, 'M', 0xFF);
  SettingsView view = SettingsToView(s);
  EXPECT_TRUE(view.echoSuppression);
  EXPECT_TRUE(view.twoStopBits);
  view.echoSuppression = false;
  view.twoStopBits = false;
  view.parityRow = 4;
  view.dataBitsRow = 1;
  SettingsFromView(view, s);
  EXPECT_EQ(s.Spare, 0xA5);
  EXPECT_EQ(s.Flags, 0x3F);
  EXPECT_EQ(s.Parity, 'Z');
  EXPECT_EQ(s.DataBits, 7);
  EXPECT_EQ(SettingsBaud100(s), 1152);

  view.echoSuppression = true;
  SettingsFromView(view, s);
  EXPECT_EQ(s.Flags, 0xBF);
}

TEST(SettingsMapping, ListWithoutSelectionKeepsItsField) {
  DeviceSettings s = Record(96, 0, 7, 'O', 0);
  SettingsView view = SettingsToView(s);
  view.parityRow = -1;
  view.dataBitsRow = -1;
  SettingsFromView(view, s);
  EXPECT_EQ(s.Parity, 'O');
  EXPECT_EQ(s.DataBits, 7);
}

}  // namespace
