#include "update/update_report.h"

#include "base/console.h"
#include "base/flavour.h"

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
  ConsolePrintLine(offer.news);  // whole: a long news text is not cut to a print area
}
