// The report of how the last run ended (base/run_mark.h), as the update check carries
// it: the setting that turns it off, the notice the player reads once, the request's
// fields and their delivery.
#pragma once

#include <cstddef>

#include "update/update_exchange.h"

// "murmelon_report_runs": 0 turns the report off. Saved with the player's settings.
constexpr const char* kRunReportSetting = "murmelon_report_runs";

// Registers the setting (supported builds: the engine's function table is known) and
// has the run mark read the player's choice from it.
void RegisterRunReportSetting();
// Before the check: on the first start that sends a report, says what it sends and how
// to turn it off.
void AnnounceRunReport();
// The request's report fields for this start's check (kReportFieldsSize bytes).
void RunReportFields(char* out);
// After the exchange: an answered check has delivered the report.
void ConfirmRunReport(ExchangeOutcome outcome);
