#include "update/update_request.h"

#include <cstring>

#include "update/digest.h"
#include "vstdlib/vstdlib_helper.h"

namespace {

constexpr int kSecStrSize = 101;
constexpr const char* kRequestFormat =
    "GET /Murmelon/CheckUpdate_v2.php?mode=debug&a=%s&b=%s&c=%s&d=%i%s HTTP/1.0\r\n"
    "Host: %s%s\r\n"
    "\r\n";

bool IsHostCharacter(char c) {
  // Anything printable but the blank and the colon: a blank, a CR or LF would let the
  // configured name add lines of its own to the request.
  return c > ' ' && c < 0x7F && c != ':';
}

bool ParsePort(const char* text, unsigned short* out) {
  if (!*text) return false;
  unsigned long value = 0;
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return false;
    value = value * 10 + static_cast<unsigned long>(*text - '0');
    if (value > 65535) return false;
  }
  if (value == 0) return false;
  *out = static_cast<unsigned short>(value);
  return true;
}

}  // namespace

bool ParseUpdateServer(const char* text, UpdateServer* out) {
  const char* colon = std::strchr(text, ':');
  size_t length = colon ? static_cast<size_t>(colon - text) : std::strlen(text);
  if (length == 0 || length >= sizeof out->host) return false;
  for (size_t i = 0; i < length; ++i)
    if (!IsHostCharacter(text[i])) return false;
  unsigned short port = 80;
  if (colon && !ParsePort(colon + 1, &port)) return false;
  std::memcpy(out->host, text, length);
  out->host[length] = '\0';
  out->port = port;
  return true;
}

void RequestDigest(const char* moduleMD5, const char* serialMD5, char* out) {
  char SecStr[kSecStrSize];
  Q_snprintf(SecStr, kSecStrSize - 1, "%s%s", moduleMD5, serialMD5);
  StringMD5Hex(SecStr, out);
}

void FormatReportFields(const RunReport& report, char* out) {
  out[0] = '\0';
  if (report.outcome == RunOutcome::kNone) return;
  // Words and a signature of [0-9a-z.:_-] only: nothing in them needs URL encoding.
  char signature[kSignatureTextSize] = "";
  if (report.outcome == RunOutcome::kCrashed) FormatFaultSignature(report.fault, signature);
  Q_snprintf(out, kReportFieldsSize, "&e=%s&f=%s", OutcomeWord(report.outcome), signature);
}

int FormatUpdateRequest(char* request, const UpdateServer& server, const char* moduleMD5,
                        const char* serialMD5, const char* requestMD5, int build,
                        const char* reportFields) {
  // The port belongs in the Host line only when it is not HTTP's own.
  char portSuffix[8] = "";
  if (server.port != 80) Q_snprintf(portSuffix, sizeof portSuffix, ":%u", static_cast<unsigned>(server.port));
  Q_snprintf(request, kRequestSize - 1, kRequestFormat, moduleMD5, serialMD5, requestMD5, build,
             reportFields, server.host, portSuffix);
  return static_cast<int>(std::strlen(request));
}
