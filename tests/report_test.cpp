// Tests of column fitting and of the report's exact lines.
#include "report.hpp"

#include "gtest/gtest.h"
#include "test_util.hpp"

namespace {

std::string captured_report(const CompareResult& result, std::int32_t width) {
  testing::internal::CaptureStdout();
  print_results(result, width);
  return testing::internal::GetCapturedStdout();
}

}  // namespace

// Fitting counts bytes: blanks in front when the text fits, "..." and the
// tail when it doesn't, and the result is exactly `width` bytes wide.
TEST(Report, FormatLeftFitsTextIntoWidth) {
  const std::string path28 = "fotos/2023/sommer/strand.jpg";
  // 13 bytes; the two-byte "ü" takes bytes 3 and 4.
  const std::string utf8 =
      "abc\xC3\xBC"
      "defghijk";
  struct Case {
    std::string text;
    std::int32_t width;
    std::string expected;
  } cases[] = {
      {"docs/readme.txt", 20, "     docs/readme.txt"},
      {path28, 20, "...sommer/strand.jpg"},
      {"12345", 5, "12345"},
      {"123456", 5, "...56"},
      {"abcdefgh", 3, "..."},
      {"", 20, std::string(20, ' ')},
      {"", 0, ""},
      {"alt/\xC3\x9C"
       "bersicht.txt",
       20,
       "  alt/\xC3\x9C"
       "bersicht.txt"},
      {utf8, 12,
       "...\xBC"
       "defghijk"},
      {"x", 2, " x"},
      // Below a width of 3 a longer text keeps the column width.
      {"abcdef", 2, ".."},
      {"abcdef", 1, "."},
      {"abcdef", 0, ""},
      {"abcdef", -1, "abcdef"},
      {"", -2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " at " + std::to_string(c.width));
    const std::string fitted = format_left(c.text, c.width);
    EXPECT_EQ(fitted, c.expected);
    if (c.width >= 0) {
      EXPECT_EQ(fitted.size(), static_cast<std::size_t>(c.width));
    }
  }
}

// The report's lines for a hand-built result: one line per entry in the
// list's order, the sum of both totals, and the counts of printed lines.
TEST(Report, PrintsEntriesAndSummary) {
  CompareResult result;
  result.local_total = 12;
  result.host_total = 10;
  result.entries = {{"docs/readme.txt", NEWER},
                    {"fotos/2023/sommer/strand.jpg", MISSING},
                    {"neu.txt", MISSING},
                    {"alt/\xC3\x9C"
                     "bersicht.txt",
                     DELETED}};
  EXPECT_EQ(captured_report(result, 20),
            "\n     docs/readme.txt" + NEWER_TEXT + "...sommer/strand.jpg" +
                MISSING_TEXT + "             neu.txt" + MISSING_TEXT +
                "  alt/Übersicht.txt" + DELETED_TEXT + summary(22, 1, 2, 1));

  // On a host that ignores case: the renames first, a host file replaced
  // counted as updated, a taken name as missing, and a line for the renames.
  CompareResult cased;
  cased.local_total = 3;
  cased.host_total = 2;
  cased.renames = {{.rel_path = "Photos", .from = "photos"}};
  cased.entries = {{.rel_path = "report.docx", .type = REPLACED},
                   {.rel_path = "a.txt", .type = TAKEN}};
  EXPECT_EQ(captured_report(cased, 12),
            "\n      Photos -> auf dem Host anders geschrieben, muß umbenannt "
            "werden.\n report.docx -> auf dem Host eine andere Datei, muß "
            "ersetzt werden.\n       a.txt -> fehlt, Name auf dem Host schon "
            "vergeben.\n" +
                summary(5, 1, 1, 0) + "1 Namen müssen umbenannt werden.\n");

  // A report longer than one block of output comes out whole.
  CompareResult many;
  std::string lines = "\n";
  for (int i = 0; i < 3000; ++i) {
    const std::string rel = "folder/file" + std::to_string(i);
    many.entries.push_back({.rel_path = rel, .type = MISSING});
    lines += std::string(20 - rel.size(), ' ') + rel + MISSING_TEXT;
  }
  many.local_total = 3000;
  EXPECT_EQ(captured_report(many, 20), lines + summary(3000, 0, 3000, 0));
}

// An empty list prints no leading empty line; unknown kinds print and count
// nothing, so the counts are those of the printed lines.
TEST(Report, SkipsUnknownKindsAndEmptyLists) {
  CompareResult result;
  result.local_total = 10;
  result.host_total = 10;
  EXPECT_EQ(captured_report(result, 47), summary(20, 0, 0, 0));

  result.entries = {{"two", static_cast<DiffType>(2)},
                    {"seven", static_cast<DiffType>(7)}};
  EXPECT_EQ(captured_report(result, 47), "\n" + summary(20, 0, 0, 0));
}
