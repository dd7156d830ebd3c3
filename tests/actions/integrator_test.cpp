// The integrator table: the texts of the window's list, and integrators found by name or
// register.
#include "actions/Integrator.h"

#include <gtest/gtest.h>

#include <optional>

namespace oxa {
namespace {

TEST(IntegratorTable, TextsKeepTheirLettersAndListEntries) {
  // Gm1's unit starts with a Latin T, Gm2's with a Cyrillic one (U+0422).
  EXPECT_EQ(kIntegrators[26].Unit(TLanguage::kRussian), "T/ч");
  EXPECT_EQ(kIntegrators[27].Unit(TLanguage::kRussian), "\u0422/ч");
  EXPECT_EQ(kIntegrators[28].name, "\u04221");
  EXPECT_EQ(kIntegrators[16].name, "T\u043d\u0430\u04401");
  EXPECT_EQ(IntegratorListText(0), "2000 (V1) [float]");
  EXPECT_EQ(IntegratorListText(15), "2038 (Tall) [long]");
  EXPECT_EQ(IntegratorListText(16), "2040 (Tнар1) [long]");
  EXPECT_EQ(IntegratorListText(31), "2162 (P2) [float]");
  EXPECT_EQ(IntegratorListText(16, TLanguage::kEnglish), "2040 (Tnar1) [long]");
}

TEST(IntegratorTable, EnglishNamesAndUnitsAreAscii) {
  for (const TIntegrator& e : kIntegrators) {
    for (const std::string_view text : {e.Name(TLanguage::kEnglish), e.Unit(TLanguage::kEnglish)}) {
      EXPECT_FALSE(text.empty()) << e.index;
      for (const char c : text) EXPECT_TRUE(c >= ' ' && c < 0x7F) << e.index;
    }
  }
  EXPECT_EQ(kIntegrators[16].Name(TLanguage::kEnglish), "Tnar1");
  EXPECT_EQ(kIntegrators[28].Name(TLanguage::kEnglish), "T1");
  EXPECT_EQ(kIntegrators[0].Unit(TLanguage::kEnglish), "m3");
  EXPECT_EQ(kIntegrators[15].Unit(TLanguage::kEnglish), "s");
  EXPECT_EQ(kIntegrators[26].Unit(TLanguage::kEnglish), "t/h");
  EXPECT_EQ(kIntegrators[27].Unit(TLanguage::kEnglish), "t/h");
  EXPECT_EQ(kIntegrators[31].Unit(TLanguage::kEnglish), "MPa");
}

TEST(IntegratorTable, FoundByNameOrRegister) {
  const std::pair<const char*, std::optional<size_t>> rows[] = {{"T1", 28},
                                                                {"t1", 28},
                                                                {"\u04221", 28},
                                                                {"\u04421", 28},
                                                                {"Tнар1", 16},
                                                                {"TНАР1", 16},
                                                                {"tnap1", std::nullopt},
                                                                {"Thap1", 16},
                                                                {"Tnar1", 16},
                                                                {"tNAR2", 17},
                                                                {"2140", 28},
                                                                {"m1r DOP", 13},
                                                                {"Gm2", 27},
                                                                {"V1", 0},
                                                                {"2001", std::nullopt},
                                                                {"X", std::nullopt},
                                                                {"", std::nullopt},
                                                                {"T", std::nullopt}};
  for (const auto& [key, index] : rows) EXPECT_EQ(FindIntegrator(key), index) << key;
}

}  // namespace
}  // namespace oxa
