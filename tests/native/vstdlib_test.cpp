// The plug-in's own bounded formatter, in destinations of exactly maxLen bytes, so that
// AddressSanitizer sees the first byte written past one.
#include <doctest/doctest.h>

#include <memory>
#include <string>

#include "vstdlib/vstdlib_helper.h"
#include "vstdlib_native.h"

TEST_CASE("Q_snprintf: a cut text reports maxLen and stays terminated; maxLen 0 and below write nothing") {
  const struct {
    int maxLen;
    const char* text;
    int result;
    const char* stored;  // null: the destination is not touched
  } rows[] = {
      {8, "abcdefghij", 8, "abcdefg"},  // cut
      {8, "12345678", 8, "1234567"},    // an exact fill has no room for the terminator
      {8, "42-ok", 5, "42-ok"},
      {1, "x", 1, ""},
      {0, "abc", 0, nullptr},
      {-1, "x", 0, nullptr},  // reported, never formatted
  };
  for (const auto& row : rows) {
    CAPTURE(row.maxLen);
    const size_t size = row.maxLen > 0 ? static_cast<size_t>(row.maxLen) : 1;
    std::unique_ptr<char[]> dest(new char[size]);
    dest[0] = '#';
    const int reportsBefore = g_assertionReports;
    CHECK(Q_snprintf(dest.get(), row.maxLen, "%s", row.text) == row.result);
    CHECK(g_assertionReports - reportsBefore == (row.maxLen < 0 ? 1 : 0));
    if (row.stored)
      CHECK(std::string(dest.get()) == row.stored);
    else
      CHECK(dest[0] == '#');
  }
}
