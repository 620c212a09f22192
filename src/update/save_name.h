// Whether a file name sent by the update server may be created. No Windows API.
#pragma once

// The name the staging file always has, in the working directory.
constexpr const char* kStagingFileName = "stufftata.btz";

// True only for a bare file name that stays in the working directory: no drive, no
// "\" or "/", not "." or "..", none of the characters Windows refuses in a name (the
// colon would also name a stream of another file), no trailing dot or blank (Windows
// drops them, so "x." is "x"), no device name ("NUL", "COM1.txt"), and not the
// staging file's name, which the replacement itself needs.
bool IsSafeSaveName(const char* name);
