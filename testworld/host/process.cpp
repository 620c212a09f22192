#include "process.h"

namespace world {
namespace {

// One argument quoted for CommandLineToArgv / the C runtime's parser.
std::wstring Quote(const std::wstring& argument) {
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

std::wstring Wide(const std::string& text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], n);
  return wide;
}

struct Pipe {
  HANDLE read = nullptr, write = nullptr;
  bool Open() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&read, &write, &inherit, 0)) return false;
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);  // only the child's end is inherited
    return true;
  }
  void CloseWrite() {
    if (write) CloseHandle(write);
    write = nullptr;
  }
  // Takes what is there without blocking.
  void Drain(std::string& into) {
    DWORD available = 0;
    while (read && PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr) && available) {
      char buffer[4096];
      DWORD got = 0;
      if (!ReadFile(read, buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr) || !got)
        break;
      into.append(buffer, got);
    }
  }
  ~Pipe() {
    CloseWrite();
    if (read) CloseHandle(read);
  }
};

}  // namespace

ProcessResult RunProcess(const std::filesystem::path& exe, const std::vector<std::string>& args,
                         DWORD timeoutMs, const std::filesystem::path& workDir) {
  ProcessResult result;
  Pipe out, err;
  if (!out.Open() || !err.Open()) return result;

  std::wstring commandLine = Quote(exe.wstring());
  for (const std::string& argument : args) commandLine += L" " + Quote(Wide(argument));

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out.write;
  startup.hStdError = err.write;
  PROCESS_INFORMATION process{};
  std::wstring directory = workDir.wstring();
  if (!CreateProcessW(exe.wstring().c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                      directory.c_str(), &startup, &process))
    return result;
  result.started = true;
  out.CloseWrite();  // the child holds its own copies now
  err.CloseWrite();

  DWORD started = GetTickCount();
  // Read while it runs, or a chatty child would block on a full pipe.
  while (WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT) {
    out.Drain(result.out);
    err.Drain(result.err);
    if (GetTickCount() - started > timeoutMs) {
      TerminateProcess(process.hProcess, 0xDEAD);
      WaitForSingleObject(process.hProcess, INFINITE);
      result.timedOut = true;
      break;
    }
  }
  out.Drain(result.out);
  err.Drain(result.err);
  GetExitCodeProcess(process.hProcess, &result.exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

}  // namespace world
