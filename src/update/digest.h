// MD5 digests as hex texts: 32 lower-case hexadecimal digits and the terminator; the
// SHA-256 of a download, which signed releases sign.
// No Windows API here; the file digest uses one process-wide read area, so two file
// digests must never run at the same time (all of ours run on the start-up thread).
#pragma once

#include <cstddef>

constexpr int kHexDigestSize = 33;

// The whole content of the file at path. False when it cannot be opened; the output
// is then left as it was. A read error ends the reading as the end of the file does.
bool FileMD5Hex(const char* path, char* out);
// The text's bytes up to, not including, its terminator.
void StringMD5Hex(const char* text, char* out);
// The file's SHA-256 (32 bytes) and its size in bytes. False when it cannot be opened
// (or the crypto library cannot start).
bool FileSHA256(const char* path, unsigned char* sha256, size_t* size);
// True when the file's hex digest equals the expected text exactly (letter case
// included). A file that cannot be opened never matches.
bool FileMatchesMD5(const char* path, const char* expected);
