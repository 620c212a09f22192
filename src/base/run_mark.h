// The run mark: "Murmelon.run" beside our module, holding what run_record.h describes.
// The host's start call begins a run and its stop call ends it clean; the crash filter
// marks it crashed and the detach of a game that never stopped us marks it abnormal.
// The next start's update check reports how it ended (update/run_report.h).
//
// The crash filter and the process-exit detach may only make plain kernel32 calls on
// memory reserved before (a thread that died holding the heap's or the loader's lock
// may be why we are there), so the file is opened once at the first start and stays
// open, and every mark after that is a bounded lock on a flag, a format into a fixed
// area and one positioned write: no path is resolved (CreateFileW allocates the NT
// path from the process heap), nothing is allocated, nothing is loaded.
#pragma once

#include "base/run_record.h"
#include "engine/engine.h"

constexpr wchar_t kRunMarkFileName[] = L"Murmelon.run";

// At the host's start call, on supported builds only (elsewhere the player has no
// setting to turn the report off, so nothing is marked and nothing sent): reads the
// last run's mark and writes this run's, begun. A run is a game session: a start after
// a stop in the same process goes on with it and reports nothing.
void MarkRunBegun();
// At the host's stop call.
void MarkRunClean();
// In the crash filter, before anything else there.
void MarkRunCrashed(const FaultSignature& fault);
// In the detach of a game that ended without stopping us.
void MarkRunAbnormal();

// The player's choice lives in this engine setting; it is read whenever a run ends (the
// engine may apply the player's saved value after we registered it at start).
void WatchRunReportSetting(const engine::SettingRecord* setting);

// What this start's check sends (outcome kNone: nothing), and whether the player is
// told about it first.
RunReport StartedRunReport(bool* notice);
// The check that carried it got an answer: it is delivered.
void RunReportDelivered();
