// Letter case as the servers ignore it, where the program replaces text
// itself: exactly the occurrences the server found, no more and no fewer.
#include <gtest/gtest.h>

#include "text/letter_case.h"

namespace {

TEST(LetterCase, ReplacesWhatTheServerFindsAndNothingElse) {
  struct Case {
    std::string text, what, with;
    bool matchCase;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"abc ABC Abc", "abc", "Q", false, "Q Q Q"},
      {"abc ABC Abc", "abc", "Q", true, "Q ABC Abc"},
      {"ＡＢＣ ａｂｃ", "ａｂｃ", "x", false, "x x"},
      {"ΑΒΓ αβγ", "αβγ", "x", false, "x x"},
      {"ПРИВЕТ привет Ёж ёж", "привет ёж", "x", false, "ПРИВЕТ x ёж"},
      // Latin Extended-A: the capital is the even one of a pair here...
      {"ĀĒ āē ŠŒ šœ", "āē", "x", false, "x x ŠŒ šœ"},
      {"ŠŒ šœ", "šœ", "x", false, "x x"},
      // ...and the odd one from Ĺ to ň and from Ź to ž: Ł is ł, Ń is not ł.
      {"Ł ł Ń ń Ż ż Ž ž", "ł", "x", false, "x x Ń ń Ż ż Ž ž"},
      {"ŃA ńa ła", "ła", "x", false, "ŃA ńa x"},
      {"Ż ź Ź", "ź", "x", false, "Ż x x"},
      {"Ÿ ÿ", "ÿ", "x", false, "x x"},
      {"ı I i", "i", "x", false, "ı x x"},
      {"旧旧文本", "旧", "新旧", false, "新旧新旧文本"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " / " + c.what);
    EXPECT_EQ(text::replacedAll(c.text, c.what, c.with, c.matchCase), c.expected);
    EXPECT_EQ(text::containsText(c.text, c.what, c.matchCase), c.expected != c.text);
  }
}

}  // namespace
