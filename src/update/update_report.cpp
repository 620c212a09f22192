#include "update/update_report.h"

#include "base/console.h"
#include "base/flavour.h"

namespace {

const wchar_t* ReasonText(CheckFailure reason) {
  switch (reason) {
    case CheckFailure::kWinsock: return L"WSA_ERROR";
    case CheckFailure::kSocket: return L"SOCKET_ERROR";
    case CheckFailure::kHost: return L"HOST_ERROR";
    case CheckFailure::kConnection: return L"CONNECTION_ERROR";
    case CheckFailure::kTimeout: return L"TIMEOUT_ERROR";
    case CheckFailure::kRefused: return L"SECURITY_ERROR";
    case CheckFailure::kSignature: return L"SIGNATURE_ERROR";
  }
  return L"";
}

}  // namespace

void ReportCheckFailure(CheckFailure reason) {
  ConsoleMsgW(L"Не удалось проверить наличие обновлений.\n%ls\n", ReasonText(reason));
}

void ReportLatest() { ConsoleMsgW(L"Вы используете самую последнюю версию.\n"); }

void ReportFuture() { ConsoleMsgW(L"Ваша версия новее, чем на сервере.\n"); }

void ReportStaged() { ConsoleMsgW(L"Модуль будет обновлён при следующем запуске.\n"); }

void ReportUpdate(const UpdateOffer& offer) {
  ConsoleMsgW(L"Mодуль обновлён на новую версию.\nСтарая:");  // a Latin "M" first
  ConsolePrint("%s\n", kFlavour.buildDateText);
  ConsolePrintW(L"Новая:");
  ConsolePrint("%s\n", offer.version);
  ConsoleMsgW(L"Чтобы изменения вступили в силу, перезапустите игру\n");
  ConsoleMsgW(L"Новости обновлений:\n");
  ConsolePrintLine(offer.news);  // whole: a long news text is not cut to a print area
}

void ReportReplaced() { ConsoleMsgW(L"Модуль был обновлен.\n"); }

void ReportRunNotice() {
  ConsoleMsgW(L"При проверке обновлений модуль сообщает серверу, чем закончился прошлый "
              L"запуск игры: обычным выходом, сбоем, аварийным завершением или неизвестно чем. "
              L"После сбоя он добавляет код исключения, имя файла модуля, в котором случился "
              L"сбой, и смещение в этом модуле; ничего о вас, ваших файлах и памяти игры не "
              L"передаётся.\n");
  ConsoleMsgW(L"Чтобы это отключить, введите в консоли: murmelon_report_runs 0\n");
}
