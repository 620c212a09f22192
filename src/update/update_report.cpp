#include "update/update_report.h"

#include "core/console.h"
#include "core/flavour.h"
#include "core/interfaces.h"
#include "engine/engine.h"

void ReportCheckFailure(const wchar_t* reason) {
  ConsoleMsgW(L"Не удалось проверить наличие обновлений.\n%ls\n", reason);
}

void ReportUpdate(const UpdateOffer& offer) {
  ConsoleMsgW(L"Mодуль обновлён на новую версию.\nСтарая:");  // a Latin "M" first
  ConsolePrint("%s\n", kFlavour.buildDateText);
  ConsolePrintW(L"Новая:");
  ConsolePrint("%s\n", offer.version);
  ConsoleMsgW(L"Чтобы изменения вступили в силу, перезапустите игру\n");
  ConsoleMsgW(L"Новости обновлений:\n");
  // Straight to the console, so a long news text is not cut to a print area.
  if (!G_Console) return;
  auto print = reinterpret_cast<engine::ConsolePrintfFn>(
      engine::Method(G_Console, engine::kConsolePrintfSlot));
  print(G_Console, "%s\n", offer.news);
}
