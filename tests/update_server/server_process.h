// Starting this project's Python update servers from a scenario running under Wine.
//
// Wine starts a Unix program given its DOS path ("Z:\usr\bin\python3"), but hands back
// no process handle that can be waited on, so each server bounds its own life
// (--lifetime) and tells its port through a file that we poll.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "world.h"

namespace update_test {

namespace fs = std::filesystem;

// The Unix path of a Windows path, through Wine's own conversion; "" outside Wine.
inline std::string UnixPath(const fs::path& path) {
  using Fn = char*(__cdecl*)(const wchar_t*);
  auto convert = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  char* unixPath = convert ? convert(path.wstring().c_str()) : nullptr;
  if (!unixPath) return "";
  std::string result = unixPath;
  HeapFree(GetProcessHeap(), 0, unixPath);
  return result;
}

inline std::wstring DosPath(const std::string& unixPath) {
  using Fn = wchar_t*(__cdecl*)(const char*);
  auto convert = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name")));
  wchar_t* dosPath = convert ? convert(unixPath.c_str()) : nullptr;
  if (!dosPath) return L"";
  std::wstring result = dosPath;
  HeapFree(GetProcessHeap(), 0, dosPath);
  return result;
}

// The source tree, as a Unix path: this header lives in <root>/tests/update_server/.
inline std::string SourceRoot() {
  std::string here = __FILE__;
  if (here.empty() || here[0] != '/') return "";
  return fs::path(here).lexically_normal().parent_path().parent_path().parent_path().generic_string();
}

inline std::wstring Quoted(const std::wstring& argument) {
  std::wstring quoted = L"\"";
  for (wchar_t c : argument) {
    if (c == L'"') quoted += L'\\';
    quoted += c;
  }
  return quoted + L"\"";
}

inline std::wstring Widen(const std::string& text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], n);
  return wide;
}

// Runs python3 with the script (relative to the source root) and arguments, then waits
// at most waitMs for outFile to appear (the scripts write it whole, then rename it).
// Returns its content, or "" when it did not appear in time. The scripts import the
// server's package from server/: env puts it on the path, whatever Wine passes on.
inline std::string RunPython(const std::string& script, const std::vector<std::string>& args,
                             const fs::path& outFile, DWORD waitMs = 10000) {
  std::error_code ignored;
  fs::remove(outFile, ignored);
  std::wstring env = DosPath("/usr/bin/env");
  std::string root = SourceRoot();
  if (env.empty() || root.empty()) return "";
  std::wstring commandLine = Quoted(env) + L" " + Quoted(Widen("PYTHONPATH=" + root + "/server")) +
                             L" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 " + Quoted(Widen(root + "/" + script));
  for (const std::string& argument : args) commandLine += L" " + Quoted(Widen(argument));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process))
    return "";
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (fs::exists(outFile)) {
      std::ifstream in(outFile, std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "";
}

// A server started with RunPython: the port it listens on, or 0.
inline int StartPythonServer(const std::string& script, const std::vector<std::string>& args,
                             const fs::path& portFile) {
  return std::atoi(RunPython(script, args, portFile).c_str());
}

// The folder for one server's files (script, port, request, log), outside any game
// folder so that a game folder's listing shows only what the plug-in did.
inline fs::path ServerFolder(const fs::path& base, const std::string& name) {
  fs::path folder = base / "games" / (name + ".server");
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  fs::create_directories(folder);
  return folder;
}

// What the scripted server does after it has read the request (scripted_server.py).
struct Script {
  std::string text;
  Script& Send(const std::string& bytes) {
    text += "send " + std::to_string(bytes.size()) + "\n" + bytes + "\n";
    return *this;
  }
  Script& Pause(int ms) {
    text += "pause " + std::to_string(ms) + "\n";
    return *this;
  }
  Script& Stall() { return Command("stall"); }
  Script& Reset() { return Command("reset"); }
  Script& Close() { return Command("close"); }
  Script& Command(const char* word) {
    text += std::string(word) + "\n";
    return *this;
  }
};

struct ScriptedServer {
  std::string address;  // "127.0.0.1:<port>", empty when it did not start
  fs::path requestFile; // the request head the server received
};

// One connection, answered as the script says; the server ends after lifetime seconds.
inline ScriptedServer StartScriptedServer(const fs::path& folder, const Script& script,
                                          int lifetime = 30) {
  ScriptedServer server;
  std::ofstream(folder / "script", std::ios::binary) << script.text;
  server.requestFile = folder / "request";
  int port = StartPythonServer(
      "tests/update_server/scripted_server.py",
      {"--script", UnixPath(folder / "script"), "--port-file", UnixPath(folder / "port"),
       "--request-file", UnixPath(server.requestFile), "--log", UnixPath(folder / "log"),
       "--lifetime", std::to_string(lifetime)},
      folder / "port");
  if (port) server.address = "127.0.0.1:" + std::to_string(port);
  return server;
}

// The signature of module (a file) for a release of build of the deliverable, by one of
// the keys made for the tests (build/mingw/test-keys/<key>.pem); "" when it failed.
inline std::string SignRelease(const fs::path& folder, const std::string& key, const fs::path& module,
                               const std::string& deliverable, const std::string& build) {
  fs::path keys = world::ExeDir().parent_path() / "test-keys";
  return RunPython("tests/update_server/sign_release.py",
                   {"--key", UnixPath(keys / (key + ".pem")), "--module", UnixPath(module),
                    "--deliverable", deliverable, "--build", build, "--out",
                    UnixPath(folder / "signature")},
                   folder / "signature");
}

// The project's update server over a releases folder; "" when it did not start.
inline std::string StartReleaseServer(const fs::path& folder, const fs::path& releases,
                                      int lifetime = 40) {
  int port = StartPythonServer(
      "tools/update_server.py",
      {"--releases", UnixPath(releases), "--port", "0", "--port-file", UnixPath(folder / "port"),
       "--log", UnixPath(folder / "log"), "--lifetime", std::to_string(lifetime)},
      folder / "port");
  return port ? "127.0.0.1:" + std::to_string(port) : "";
}

}  // namespace update_test
