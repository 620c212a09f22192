#include "update/update_check.h"

#include <winsock2.h>
#include <windows.h>

#include "base/flavour.h"
#include "update/check_clock.h"
#include "update/identity.h"
#include "update/release_keys.h"
#include "update/replacement.h"
#include "update/run_report.h"
#include "update/update_answer.h"
#include "update/update_connection.h"
#include "update/update_exchange.h"
#include "update/update_report.h"
#include "update/update_request.h"

namespace {

// Read at each check, so a changed environment takes effect at the next start-up.
bool ConfiguredUpdateServer(UpdateServer* server) {
  char text[kHostNameSize + 8];
  DWORD length = GetEnvironmentVariableA("MURMELON_UPDATE_HOST", text, sizeof text);
  if (length >= sizeof text) return false;  // too long for any host name
  return ParseUpdateServer(length > 0 ? text : MURMELON_UPDATE_HOST_DEFAULT, server);
}

// A verified download is still at plan.path, under a name nothing loads.
int Report(ExchangeOutcome outcome, const DownloadPlan& plan, const UpdateOffer& offer) {
  switch (outcome) {
    case ExchangeOutcome::kRefused:
      ReportCheckFailure(CheckFailure::kRefused);
      break;
    case ExchangeOutcome::kLatest:
      ReportLatest();
      break;
    case ExchangeOutcome::kFuture:
      ReportFuture();
      break;
    case ExchangeOutcome::kTimedOut:
      ReportCheckFailure(CheckFailure::kTimeout);
      return kUpdateCheckUnreachable;
    case ExchangeOutcome::kUnsigned:
      ReportCheckFailure(CheckFailure::kSignature);
      break;
    case ExchangeOutcome::kVerified:
      if (StageModuleReplacement(plan.path)) ReportUpdate(offer);
      break;
    default:  // the rest end silently, leaving no file behind
      break;
  }
  return 0;
}

// False, with the failure said, unless the step was done.
bool Reached(Reach result, CheckFailure failure) {
  if (result == Reach::kDone) return true;
  ReportCheckFailure(result == Reach::kTimedOut ? CheckFailure::kTimeout : failure);
  return false;
}

int Converse(SOCKET socket, uint32_t checkStart) {
  const Deadline deadline = {checkStart, kCheckLimitMs};
  UpdateServer server;
  sockaddr_in der_addr;
  if (!ConfiguredUpdateServer(&server)) {
    ReportCheckFailure(CheckFailure::kHost);
    return kUpdateCheckUnreachable;
  }
  if (!Reached(ResolveUpdateServer(server, &der_addr, TimeLeft(deadline, GetTickCount())),
               CheckFailure::kHost) ||
      !Reached(ConnectBounded(socket, der_addr,
                              BoundedWait(kConnectWaitMs, deadline, GetTickCount())),
               CheckFailure::kConnection))
    return kUpdateCheckUnreachable;

  const int ownBuild = FlavourBuildNumber();
  char SecMD5[33];
  RequestDigest(ModuleMD5, SerialMD5, SecMD5);
  char reportFields[kReportFieldsSize];
  RunReportFields(reportFields);
  char request[kRequestSize];
  int length = FormatUpdateRequest(request, server, ModuleMD5, SerialMD5, SecMD5, ownBuild, reportFields);
  send(socket, request, length, 0);

  ScopedAnswer answer;  // the offer points into it until the outcome is reported
  if (!answer.Started()) return 0;
  UpdateOffer offer = {};
  const DownloadPlan plan = {DownloadPath, kReleasePublicKeys, kReleaseDeliverable, ownBuild};
  const ExchangeOutcome outcome = RunExchange(SocketConnection(&socket), checkStart, plan, answer.get(), &offer);
  ConfirmRunReport(outcome);
  return Report(outcome, plan, offer);
}

}  // namespace

int CheckForUpdates() {
  const uint32_t checkStart = GetTickCount();
  WSADATA wsaData;
  if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
    ReportCheckFailure(CheckFailure::kWinsock);
    return kUpdateCheckUnreachable;
  }
  int result;
  SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) {
    ReportCheckFailure(CheckFailure::kSocket);
    result = kUpdateCheckUnreachable;
  } else {
    result = Converse(socket, checkStart);
    closesocket(socket);
  }
  WSACleanup();
  return result;
}
