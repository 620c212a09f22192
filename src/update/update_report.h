// What the player reads about the outcome of an update check.
#pragma once

#include "update/update_answer.h"

// The prefixed "could not check" message with its reason (e.g. L"HOST_ERROR").
void ReportCheckFailure(const wchar_t* reason);
// After a verified download took the module's place: old and new version, the restart
// hint and the news text.
void ReportUpdate(const UpdateOffer& offer);
