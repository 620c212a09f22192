// An update server's answer that offers a module, as the plug-in reads it: the header,
// then "BUILD:" and "SIGNATURE:" when signed, "SAVETO:", "MD5:", "WHATNEW:", "VERSION:"
// and "DATA:" with the module's bytes. No separators: each value runs to the next key.
// Shared by the native exchange tests and the scenarios; no Windows API.
#pragma once

#include <string>

namespace update_test {

const std::string kAnswerHead = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";

struct OfferParts {
  std::string saveAs = "Murmelon_W_7_D.asi.new";
  std::string digest;            // the module's MD5 as sent
  std::string news = "Faster start.\n";
  std::string version = "2.0";
  std::string build;             // "BUILD:" and "SIGNATURE:" only when build is set
  std::string signature;
};

inline std::string OfferAnswer(const OfferParts& parts, const std::string& module) {
  std::string signedPart;
  if (!parts.build.empty()) signedPart = "BUILD:" + parts.build + "SIGNATURE:" + parts.signature;
  return kAnswerHead + signedPart + "SAVETO:" + parts.saveAs + "MD5:" + parts.digest + "WHATNEW:" +
         parts.news + "VERSION:" + parts.version + "DATA:" + module;
}

}  // namespace update_test
