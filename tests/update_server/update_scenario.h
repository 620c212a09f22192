// What the update scenarios share: independent digests (the system's CryptoAPI, not
// the plug-in's OpenSSL), the plug-in's update texts, folder snapshots, the keyed
// variants of the plug-in.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "../scenarios/scenario.h"
#include "update_offer.h"
#include "world.h"

namespace update_test {

namespace fs = std::filesystem;

inline void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string Md5Hex(const std::string& bytes) {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  std::string hex;
  if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
      CryptCreateHash(provider, CALG_MD5, 0, 0, &hash) &&
      CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0)) {
    BYTE digest[16];
    DWORD size = sizeof digest;
    if (CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0))
      for (BYTE byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
      }
  }
  if (hash) CryptDestroyHash(hash);
  if (provider) CryptReleaseContext(provider, 0);
  return hex;
}

// b of the request: the digest of drive C:'s serial as a signed decimal number.
inline std::string SerialDigest() {
  DWORD serial = 0;
  std::string text = "0";
  if (GetVolumeInformationA("C:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0))
    text = std::to_string(static_cast<int32_t>(serial));
  return Md5Hex(text);
}

// The exact request; reportFields is what the start says about the last run
// ("&e=<outcome>&f=<signature>"), empty when it says nothing.
inline std::string ExpectedRequest(const std::string& moduleBytes, int build, const std::string& host,
                                   const std::string& reportFields = "") {
  std::string a = Md5Hex(moduleBytes), b = SerialDigest();
  return "GET /Murmelon/CheckUpdate_v2.php?mode=debug&a=" + a + "&b=" + b + "&c=" + Md5Hex(a + b) +
         "&d=" + std::to_string(build) + reportFields + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
}

// The run mark every start on a supported build writes beside the module.
const std::string kRunMark = "Murmelon.run";

// Every file under folder (relative path -> content) but the run mark, which the update
// check reads and writes whatever the download does.
inline std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::end(it); ++it)
    if (it->is_regular_file() && it->path().filename() != kRunMark)
      files[fs::relative(it->path(), folder).generic_string()] = scenario::ReadFile(it->path());
  return files;
}

inline std::string Listing(const std::map<std::string, std::string>& files) {
  std::string text;
  for (const auto& [name, bytes] : files) text += name + " (" + std::to_string(bytes.size()) + " bytes) ";
  return text;
}

// The console without the start-up's own texts: what the check (and the replacement
// before it) printed. The about text (or, on an unsupported build, its message and the
// engine's answer to "version") comes at the start call; the check's messages reach the
// console later, on the game's thread.
inline std::string UpdateOutput(std::string console) {
  const struct {
    const char* start;
    const char* lastLine;  // the block ends with the line that holds this
    int lineEnds;          // ... and this many line ends after it
  } blocks[] = {{"[Murmel]:Модуль:Murmelon", "установленным на сервере\n", 0},
                {"[Murmel]:Модуль пока работает только", "Exe version ", 1}};
  for (const auto& block : blocks) {
    size_t start = console.find(block.start);
    if (start == std::string::npos) continue;
    size_t end = console.find(block.lastLine, start);
    if (end == std::string::npos) break;
    end = console.find('\n', end);
    for (int i = 0; i < block.lineEnds && end != std::string::npos; ++i) end = console.find('\n', end + 1);
    if (end == std::string::npos) break;
    console.erase(start, end + 1 - start);
  }
  return console;
}

// A newer build of the module for the tests: the built module with bytes appended
// behind its image, which the loader ignores. It loads and runs like the original but
// has its own digest.
inline std::string NewerModule(const std::string& module) {
  return module + std::string("\0NEWER BUILD FOR THE UPDATE TESTS\0", 34);
}

// The keyed variant of a flavour (tests/signed_release): it trusts the test keys
// "previous" and "release".
inline fs::path SignedAsiPath(const std::string& flavour) {
  return world::DistDir().parent_path() / "dist-signed" / (flavour + ".asi");
}

// Whether a loader could take the file for a module: the host's *.asi and the other
// extensions it scans, a DLL, a program, or no extension at all (LoadLibrary then tries
// ".dll"). Windows also matches "*.asi" against 8.3 names, so "x.asix" counts too.
inline bool Loadable(const fs::path& file) {
  std::string extension = file.extension().string();
  for (char& c : extension) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (extension.empty()) return true;
  for (const char* loadable : {".asi", ".dll", ".exe", ".flt", ".m3d", ".mix"})
    if (extension.compare(0, 4, loadable) == 0) return true;
  return false;
}

const std::string kCouldNotCheck = "[Murmel]:Не удалось проверить наличие обновлений.\n";
const std::string kLatest = "[Murmel]:Вы используете самую последнюю версию.\n";
const std::string kFuture = "[Murmel]:Ваша версия новее, чем на сервере.\n";
const std::string kStaged = "[Murmel]:Модуль будет обновлён при следующем запуске.\n";
const std::string kReplaced = "[Murmel]:Модуль был обновлен.\n";
// Once, at the first start that reports how the last run ended.
const std::string kRunNotice =
    "[Murmel]:При проверке обновлений модуль сообщает серверу, чем закончился прошлый запуск "
    "игры: обычным выходом, сбоем, аварийным завершением или неизвестно чем. После сбоя он "
    "добавляет код исключения, имя файла модуля, в котором случился сбой, и смещение в этом "
    "модуле; ничего о вас, ваших файлах и памяти игры не передаётся.\n"
    "[Murmel]:Чтобы это отключить, введите в консоли: murmelon_report_runs 0\n";

inline std::string UpdateReport(const std::string& oldDate, const std::string& version,
                                const std::string& news) {
  return "[Murmel]:Mодуль обновлён на новую версию.\nСтарая:" + oldDate + "\nНовая:" + version +
         "\n[Murmel]:Чтобы изменения вступили в силу, перезапустите игру\n"
         "[Murmel]:Новости обновлений:\n" + news + "\n";
}

}  // namespace update_test
