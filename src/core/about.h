// What the player reads at each late start-up about the plug-in itself.
#pragma once

// The three about texts, in order (supported builds).
void PrintAbout();
// The unsupported-build message, naming every supported build of the engine-builds
// table, then the engine's own "version" answer.
void ReportUnsupportedBuild();
