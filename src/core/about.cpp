// What the player reads at start-up: the about and help texts, or the notice that this
// engine build is not supported.
#include <cwchar>

#include "core/console.h"
#include "core/flavour.h"
#include "core/interfaces.h"

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
  ConsoleMsgW(L"Модуль пока работает только под 6027-м и 6132-м билдами.\n"
              L"У вас установлен другой билд.\n");
  RunEngineCommand("version");  // the engine's answer names the build the player has
}
