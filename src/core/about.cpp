// What the player reads at start-up: the about and help texts, or the notice that this
// engine build is not supported.
#include "core/about.h"

#include <cstdint>
#include <cwchar>

#include "base/console.h"
#include "base/flavour.h"
#include "base/interfaces.h"
#include "engine/engine_builds.h"

namespace {

// Our own contact points; the about text shows them to players.
constexpr const wchar_t* kAuthorName = L"Murmelon Team";
constexpr const wchar_t* kAuthorPage = L"https://murmelon.example/team";
constexpr const wchar_t* kForumTopicOne = L"https://forum-one.example/topic/murmelon";
constexpr const wchar_t* kForumTopicTwo = L"https://forum-two.example/topic/murmelon";

void PrintComposed(const wchar_t* const* pieces) {
  wchar_t text[1024] = L"";
  for (; *pieces; ++pieces) wcsncat(text, *pieces, 1023 - wcslen(text));
  ConsoleMsgW(L"%ls", text);  // composed texts are printed as values, never as formats
}

// Appends "<build>-м" in decimal (builds are positive), within size characters.
void AppendBuild(wchar_t* text, size_t size, int32_t build) {
  wchar_t digits[16];
  size_t count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + build % 10);
    build /= 10;
  } while (build > 0 && count < 16);
  size_t used = wcslen(text);
  while (count > 0 && used + 1 < size) text[used++] = digits[--count];
  text[used] = L'\0';
  wcsncat(text, L"-м", size - 1 - wcslen(text));
}

// "6027-м и 6132-м": every supported build of the table, in table order, the last one
// joined by "и".
void ListSupportedBuilds(wchar_t* text, size_t size) {
  size_t total = 0;
  for (size_t i = 0; i < kEngineBuildCount; ++i) total += kEngineBuilds[i].supported ? 1 : 0;
  size_t listed = 0;
  for (size_t i = 0; i < kEngineBuildCount; ++i) {
    if (!kEngineBuilds[i].supported) continue;
    if (listed > 0) wcsncat(text, listed + 1 == total ? L" и " : L", ", size - 1 - wcslen(text));
    AppendBuild(text, size, kEngineBuilds[i].build);
    ++listed;
  }
}

}  // namespace

void PrintAbout() {
  const wchar_t* author[] = {L"Модуль:Murmelon \nАвтор: ", kAuthorName, L"( ", kAuthorPage,
                             L")\n\n", nullptr};
  PrintComposed(author);
  const wchar_t* build[] = {L"Отладочная версия ",
                            kFlavour.platformLabel,
                            L"\nЕсди у вас всё работает, отпишитесь, пожалуйста,\n сюда:",
                            kForumTopicOne,
                            L"\nили сюда:",
                            kForumTopicTwo,
                            L"\n",
                            nullptr};
  PrintComposed(build);
  // "Cтима" starts with the Latin C, as players have always seen it.
  ConsoleMsgW(L"Команды:\n+steamvoice-говорить кодеком Cтима\n"
              L"+servervoice-говорить кодеком, установленным на сервере\n");
}

void ReportUnsupportedBuild() {
  wchar_t builds[256] = L"";
  ListSupportedBuilds(builds, 256);
  ConsoleMsgW(L"Модуль пока работает только под %ls билдами.\n"
              L"У вас установлен другой билд.\n",
              builds);
  RunEngineCommand("version");  // the engine's answer names the build the player has
}
