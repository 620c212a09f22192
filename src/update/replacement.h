// Two-start replacement of our own module file: a verified download takes the module
// file's name while the running build is parked as the staging file; the next start
// (the new build) deletes the staging file.
#pragma once

// Puts the verified download at downloadPath in the place of the running module file,
// parking the running one at StagingPath, and prints the staging line. When either
// move fails, the module file is put back and then the download deleted: the game must
// always find a module at its name, and nothing stray stays behind (should even the
// move back fail, the download is kept rather than leaving no build at all). The move
// back is retried for a while. True when the download is in place.
bool StageModuleReplacement(const char* downloadPath);
// At a late start-up: deletes a staging file left by the previous start and says so,
// and silently deletes a download that a start ended before it was verified.
void FinishModuleReplacement();
