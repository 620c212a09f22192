// The update server's address and the request the plug-in sends it. No Windows API.
#pragma once

#include <cstddef>

#include "base/run_record.h"

constexpr int kRequestSize = 1024;   // the request area; at most 1023 characters are used
constexpr int kHostNameSize = 256;

struct UpdateServer {
  char host[kHostNameSize];  // resolved for the connection and named in the "Host: " line
  unsigned short port;       // 80 unless the address names another
};

// Reads "host" or "host:port". False for an empty or over-long host name, a host name
// with characters that could end the header line, or a port outside 1..65535.
bool ParseUpdateServer(const char* text, UpdateServer* out);

// The digest that binds the two identity digests together: MD5 of a followed by b.
void RequestDigest(const char* moduleMD5, const char* serialMD5, char* out);

// The report of the last run as the query's two last fields, "&e=<outcome>&f=<signature>"
// (f empty but after a crash); "" when the report has nothing to send.
constexpr size_t kReportFieldsSize = 16 + kSignatureTextSize;
void FormatReportFields(const RunReport& report, char* out);

// Formats the whole request into request (kRequestSize bytes) and returns its length;
// reportFields (FormatReportFields) follow d.
int FormatUpdateRequest(char* request, const UpdateServer& server, const char* moduleMD5,
                        const char* serialMD5, const char* requestMD5, int build,
                        const char* reportFields);
