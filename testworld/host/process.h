// Running a program as a child process with a time-out, capturing its output.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace world {

struct ProcessResult {
  DWORD exitCode = 0;     // GetExitCodeProcess (an exception code when it crashed)
  bool timedOut = false;  // killed at the time-out
  bool started = false;   // CreateProcess succeeded
  std::string out;        // standard output, exact bytes
  std::string err;        // standard error, exact bytes
};

// Starts exe with args (quoted as the C runtime parses them) in workDir, reads its
// standard output and error until it ends, and kills it after timeoutMs.
ProcessResult RunProcess(const std::filesystem::path& exe, const std::vector<std::string>& args,
                         DWORD timeoutMs, const std::filesystem::path& workDir);

}  // namespace world
