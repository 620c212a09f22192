// The engine string library binding, compiled into this test program: the same wrappers
// the plug-in uses, bound against the world's vstdlib.dll, its partial variant, or none.
#include <cstring>
#include <string>

#include "scenario.h"
#include "vstdlib/vstdlib_helper.h"

namespace {

// Makes a game folder with the chosen library and binds it, as the attach sequence does.
void Bind(bool vstdlib, bool partial = false) {
  static world::Options options;
  options.vstdlib = vstdlib;
  options.vstdlibPartial = partial;
  static world::Game game(options);
  BindVstdlib();
}

int Format(char* dest, int maxLen, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = Q_vsnprintf(dest, maxLen, format, args);
  va_end(args);
  return result;
}

void CheckSnprintfCutOff() {
  char area[8];
  std::memset(area, '#', sizeof area);
  ok(Q_snprintf(area, 8, "%s", "abcdefghij") == 8, "a cut text must report maxLen\n");
  ok_bytes(std::string(area), "abcdefg");
  std::memset(area, '#', sizeof area);
  // Exactly filling the area: the formatter has no room for the terminator.
  ok(Q_snprintf(area, 8, "%s", "12345678") == 8, "an exact fill counts as cut\n");
  ok_bytes(std::string(area), "1234567");
  std::memset(area, '#', sizeof area);
  ok(Q_snprintf(area, 8, "%d-%s", 42, "ok") == 5, "a fitting text reports its length\n");
  ok_bytes(std::string(area), "42-ok");
  std::memset(area, '#', sizeof area);
  ok(Q_snprintf(area, 0, "%s", "abc") == 0, "maxLen 0 reports 0\n");
  ok(std::string(area, 8) == "########", "maxLen 0 wrote into the destination\n");
}

}  // namespace

SCENARIO(bound_library_searches_without_letter_case_and_formats_bounded) {
  Bind(true);
  for (int i = 0; i < kVstdlibEntryCount; ++i)
    ok(VstdlibHas(kVstdlibNames[i]), "%s not bound\n", kVstdlibNames[i]);
  const char* text = "Exe build: 17:47:17 Apr 25 2013";
  ok(Q_stristr(text, "EXE BUILD") == text, "case-insensitive search failed\n");
  ok(Q_stristr(text, "Apr 25") == text + 20, "the match must point into the searched text\n");
  ok(Q_stristr(text, "May") == nullptr, "found what is not there\n");
  CheckSnprintfCutOff();
  char dir[64] = "";
  ok(Q_ExtractFilePath("C:\\game\\Murmelon.asi", dir, sizeof dir), "no directory\n");
  ok(std::strncmp(dir, "C:\\game", 7) == 0, "directory \"%s\"\n", dir);
}

SCENARIO(without_the_library_search_is_case_sensitive_and_the_runtime_formats) {
  Bind(false);
  ok(!VstdlibHas("Q_stristr") && !VstdlibHas("Q_vsnprintf"), "bound without a library\n");
  const char* text = "Exe build: 17:47:17 Apr 25 2013";
  ok(Q_stristr(text, "EXE BUILD") == nullptr, "the fallback search must be case-sensitive\n");
  ok(Q_stristr(text, "Apr 25") == text + 20, "exact case not found\n");
  CheckSnprintfCutOff();
  char area[4];
  ok(Format(area, 4, "%s", "abcd") < 0, "a cut text must be negative\n");
  ok_bytes(std::string(area), "abc");
}

SCENARIO(unbound_wrappers_leave_their_destinations_untouched) {
  Bind(false);
  char dest[16];
  std::memset(dest, '#', sizeof dest);
  Q_strncpy(dest, "text", 5);
  ok(!Q_ExtractFilePath("C:\\game\\x.asi", dest, sizeof dest), "no library, yet a directory\n");
  Q_MakeAbsolutePath(dest, sizeof dest, "stufftata.btz", nullptr);
  ok(Q_UnicodeToUTF8(L"abc", dest, sizeof dest) == 0, "a conversion without a library\n");
  ok(std::string(dest, sizeof dest) == std::string(16, '#'), "a destination was written\n");
  ok(Q_atoi("12") == 0 && Q_atof("1.5") == 0.0f && !Q_IsAbsolutePath("C:\\x"),
     "neutral results expected\n");
}

SCENARIO(partial_library_keeps_what_it_has) {
  Bind(true, true);
  ok(!VstdlibHas("Q_UnicodeToUTF8") && !VstdlibHas("Q_strncpy") &&
         !VstdlibHas("Q_MakeAbsolutePath"),
     "the partial library exports more than expected\n");
  ok(VstdlibHas("Q_stristr") && VstdlibHas("Q_vsnprintf"), "the partial library lacks search\n");
  char dest[8] = "keep";
  Q_strncpy(dest, "other", 6);
  ok_bytes(std::string(dest), "keep");
}

SCENARIO(concatenation_without_the_library_stays_within_its_size) {
  Bind(false);
  char dest[8] = "abc";
  dest[7] = '#';
  Q_strcat(dest, "defghijk", 7);
  ok_bytes(std::string(dest), "abcdef");
  ok(dest[7] == '#', "wrote past the given size\n");
}

SCENARIO(bad_arguments_are_reported_and_nothing_is_written) {
  Bind(true);
  char area[8] = "keep";
  ok(Q_snprintf(area, -1, "%s", "x") == 0, "a negative bound must format nothing\n");
  ok_bytes(std::string(area), "keep");
  // Read-only memory: the check reports it instead of letting the formatter fault.
  const char* readOnly = "constant text";
  ok(Q_snprintf(const_cast<char*>(readOnly), 8, "%s", "x") == 0, "wrote to read-only memory\n");
  ok_bytes(std::string(readOnly), "constant text");
}
