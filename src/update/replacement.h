// Two-start replacement of our own module file.
#pragma once

// Moves the running module file aside to StagingPath (a verified download follows).
void StageModuleReplacement();
// At a late start-up: deletes a staging file left by the previous start.
void FinishModuleReplacement();
