#include "update/run_report.h"

#include "base/run_mark.h"
#include "engine/engine_positions.h"
#include "update/update_report.h"
#include "update/update_request.h"

namespace {

// The engine's archive flag, as the rate settings have it: saved with the others.
constexpr int kArchiveFlags = 128;

}  // namespace

// The check runs at the host's start call, before this is registered, and the engine may
// apply the player's saved value later still: so the choice that counts for a report is
// the one read when the run it tells of ended, kept in the run mark.
void RegisterRunReportSetting() {
  if (!EngineFuncTable) return;
  auto registerVariable = EngineFunction<engine::RegisterVariableFn>(engine::kRegisterVariableSlot);
  WatchRunReportSetting(registerVariable(kRunReportSetting, "1", kArchiveFlags));
}

void AnnounceRunReport() {
  bool notice = false;
  if (StartedRunReport(&notice).outcome == RunOutcome::kNone || !notice) return;
  ReportRunNotice();
}

void RunReportFields(char* out) {
  bool notice;
  FormatReportFields(StartedRunReport(&notice), out);
}

void ConfirmRunReport(ExchangeOutcome outcome) {
  if (ExchangeAnswered(outcome)) RunReportDelivered();
}
