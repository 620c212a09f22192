// The record of how runs ended: the signature's text form, the mark file's bytes, and
// which report each start sends, run after run, answered or not.
#include <doctest/doctest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/run_record.h"
#include "update/update_exchange.h"
#include "update/update_request.h"

namespace {

constexpr int32_t kBuild = 51081;

FaultSignature Fault(uint32_t code, const std::u16string& module, uint32_t offset) {
  FaultSignature fault = {};
  SetFaultModule(&fault, reinterpret_cast<const uint16_t*>(module.data()), module.size());
  fault.offset = offset;
  fault.code = code;
  return fault;
}

std::string Text(const FaultSignature& fault) {
  char text[kSignatureTextSize];
  FormatFaultSignature(fault, text);
  return text;
}

std::string Fields(const RunReport& report) {
  char fields[kReportFieldsSize];
  FormatReportFields(report, fields);
  return fields;
}

RunMark MarkOf(RunEnd run, bool reportOn = true) {
  RunMark mark = {};
  mark.run = run;
  mark.build = kBuild;
  mark.reportOn = reportOn;
  mark.noticeShown = true;
  if (run == RunEnd::kCrashed) mark.fault = Fault(0xC0000005, u"hw.dll", 0x1A2B3);
  return mark;
}

std::string FileBytes(const RunMark& mark) {
  char bytes[kRunMarkFileCap];
  size_t length = FormatRunMark(mark, bytes, sizeof bytes);
  REQUIRE(length > 0);
  return std::string(bytes, length);
}

bool Parses(const std::string& bytes) {
  RunMark mark;
  return ParseRunMark(bytes.data(), bytes.size(), &mark);
}

}  // namespace

TEST_CASE("a fault signature names the code, the module's file name and the offset, nothing else") {
  struct Row {
    std::u16string module;
    const char* text;
  } rows[] = {
      {u"hw.dll", "c0000005:hw.dll:0001a2b3"},
      {u"HW.DLL", "c0000005:hw.dll:0001a2b3"},  // one module whatever the letter case
      {u"Murmelon_W_7_D.asi", "c0000005:murmelon_w_7_d.asi:0001a2b3"},
      {u"my game-1.exe", "c0000005:my_game-1.exe:0001a2b3"},
      {u"клиент.dll", "c0000005:______.dll:0001a2b3"},
      {u"a\u00e9:/\\?&=%+#.dll", "c0000005:a__________.dll:0001a2b3"},
      {std::u16string(40, u'x'), "c0000005:xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx:0001a2b3"},
      {u"", "c0000005:-:00000000"},  // outside any module: no address
  };
  for (const Row& row : rows) {
    CAPTURE(row.text);
    FaultSignature fault = Fault(0xC0000005, row.module, 0x1A2B3);
    if (row.module.empty()) fault.offset = 0;
    CHECK(Text(fault) == row.text);
    FaultSignature back;
    REQUIRE(ParseFaultSignature(row.text, std::strlen(row.text), &back));
    CHECK(Text(back) == row.text);
  }
  const char* refused[] = {"C0000005:hw.dll:0001a2b3", "c0000005:hw.dll:0001A2B3", "c0000005:HW.dll:0001a2b3",
                           "c000005:hw.dll:0001a2b3",  "c0000005:hw.dll:001a2b3",  "c0000005::0001a2b3",
                           "c0000005-hw.dll-0001a2b3", "c0000005:hw dll:0001a2b3", "c0000005:hw.dll:0001a2b3 ",
                           "c0000005:xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx:0001a2b3"};
  for (const char* text : refused) {
    CAPTURE(text);
    FaultSignature fault;
    CHECK_FALSE(ParseFaultSignature(text, std::strlen(text), &fault));
  }
}

TEST_CASE("the report's fields follow d in the request, only when there is a report") {
  RunReport report = {};
  CHECK(Fields(report) == "");
  report.outcome = RunOutcome::kClean;
  CHECK(Fields(report) == "&e=clean&f=");
  report.outcome = RunOutcome::kUnknown;
  CHECK(Fields(report) == "&e=unknown&f=");
  report.outcome = RunOutcome::kCrashed;
  report.fault = Fault(0xC00000FD, std::u16string(40, u'x'), 0xFFFFFFFF);
  CHECK(Fields(report) == "&e=crashed&f=c00000fd:" + std::string(32, 'x') + ":ffffffff");

  UpdateServer server;
  REQUIRE(ParseUpdateServer("h", &server));
  char request[kRequestSize];
  FormatUpdateRequest(request, server, "a", "b", "c", 51081, "&e=abnormal&f=");
  CHECK(std::string(request) ==
        "GET /Murmelon/CheckUpdate_v2.php?mode=debug&a=a&b=b&c=c&d=51081&e=abnormal&f= HTTP/1.0\r\n"
        "Host: h\r\n\r\n");
}

TEST_CASE("only an answer the service gave delivers the report") {
  const ExchangeOutcome unanswered[] = {ExchangeOutcome::kTimedOut, ExchangeOutcome::kClosed,
                                        ExchangeOutcome::kOversized, ExchangeOutcome::kNoMemory};
  const ExchangeOutcome answered[] = {ExchangeOutcome::kRefused, ExchangeOutcome::kLatest,
                                      ExchangeOutcome::kFuture, ExchangeOutcome::kMalformed,
                                      ExchangeOutcome::kAbandoned, ExchangeOutcome::kVerified};
  for (ExchangeOutcome outcome : unanswered) CHECK_FALSE(ExchangeAnswered(outcome));
  for (ExchangeOutcome outcome : answered) CHECK(ExchangeAnswered(outcome));
}

TEST_CASE("the mark file reads back exactly what was written, and nothing else") {
  RunMark mark = MarkOf(RunEnd::kCrashed);
  mark.pending = {RunOutcome::kCrashed, Fault(0xC00000FD, u"client.dll", 0x10), kBuild, 2};
  const std::string bytes = FileBytes(mark);
  CHECK(bytes ==
        "murmelon-run 1\r\nrun=crashed\r\nfault=c0000005:hw.dll:0001a2b3\r\nbuild=51081\r\n"
        "report=on\r\nnotice=shown\r\npending=crashed\r\npending-fault=c00000fd:client.dll:00000010\r\n"
        "pending-build=51081\r\npending-tries=2\r\n");
  RunMark back;
  REQUIRE(ParseRunMark(bytes.data(), bytes.size(), &back));
  CHECK(FileBytes(back) == bytes);
  CHECK(Parses(FileBytes(MarkOf(RunEnd::kBegun, false))));

  // A write cut short, a stray byte, and values the plug-in never writes.
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    CAPTURE(cut);
    CHECK_FALSE(Parses(bytes.substr(0, cut)));
  }
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string changed = bytes;
    changed.replace(changed.find(from), from.size(), to);
    return changed;
  };
  const std::string refused[] = {
      bytes + " ",
      bytes + "\r\n",
      replaced("run=crashed", "run=Crashed"),
      replaced("\r\nbuild=", "\nbuild="),
      replaced("build=51081", "build=051081"),
      replaced("build=51081", "build=1234567890"),
      replaced("report=on", "report=1"),
      replaced("pending-tries=2", "pending-tries=4"),
      replaced("fault=c0000005:hw.dll:0001a2b3", "fault="),
      replaced("murmelon-run 1", "murmelon-run 2"),
      replaced("hw.dll", std::string("hw\0dll", 6)),
  };
  for (const std::string& text : refused) {
    CAPTURE(text);
    CHECK_FALSE(Parses(text));
  }
  std::string clean = FileBytes(MarkOf(RunEnd::kClean));
  clean.replace(clean.find("fault="), 6, "fault=c0000005:hw.dll:0001a2b3");
  CHECK_FALSE(Parses(clean));  // a signature belongs to a crash only
}

TEST_CASE("each run is reported once, retried after no answer at most three times in all") {
  // One start after another; each row is a start: what its check sent, whether it was
  // answered, and how its run then ended.
  struct Start {
    const char* sent;  // "" nothing
    int tries;
    bool notice;
    bool answered;
    RunEnd end;
  };
  struct Sequence {
    const char* name;
    std::vector<Start> starts;
  } sequences[] = {
      {"answered",
       {{"", 0, false, true, RunEnd::kCrashed},
        {"crashed", 1, true, true, RunEnd::kAbnormal},
        {"abnormal", 1, false, true, RunEnd::kBegun},
        {"unknown", 1, false, true, RunEnd::kClean},
        {"clean", 1, false, true, RunEnd::kClean}}},
      {"no answer",
       {{"", 0, false, true, RunEnd::kCrashed},
        {"crashed", 1, true, false, RunEnd::kClean},
        {"crashed", 2, false, false, RunEnd::kAbnormal},
        {"crashed", 3, false, false, RunEnd::kClean},
        {"clean", 1, false, false, RunEnd::kClean},
        {"clean", 2, false, true, RunEnd::kClean},
        {"clean", 1, false, true, RunEnd::kClean}}},
  };
  for (const Sequence& sequence : sequences) {
    CAPTURE(sequence.name);
    RunMark file;
    bool written = false;
    int number = 0;
    for (const Start& expected : sequence.starts) {
      CAPTURE(++number);
      RunStart start = BeginRun(written ? &file : nullptr, kBuild);
      CHECK(std::string(OutcomeWord(start.report.outcome)) == expected.sent);
      CHECK(start.report.tries == expected.tries);
      CHECK(start.notice == expected.notice);
      RunMark next = start.mark;
      if (expected.answered) next.pending = RunReport{};
      if (expected.end == RunEnd::kCrashed) next.fault = Fault(0xC0000005, u"hw.dll", 0x1A2B3);
      EndRun(&next, expected.end);
      REQUIRE(ParseRunMark(FileBytes(next).data(), FileBytes(next).size(), &file));
      written = true;
    }
  }
}

TEST_CASE("nothing is sent about a run the player kept to himself or of another build") {
  // The player turned the report off: neither that run nor one still pending goes.
  RunMark off = MarkOf(RunEnd::kCrashed, false);
  off.pending = {RunOutcome::kClean, {}, kBuild, 1};
  RunStart start = BeginRun(&off, kBuild);
  CHECK(start.report.outcome == RunOutcome::kNone);
  CHECK(start.mark.pending.outcome == RunOutcome::kNone);
  CHECK_FALSE(start.mark.reportOn);  // until the setting says otherwise at the run's end

  // The check names the running build: a run of the build before an update is not sent
  // under it; a pending report of another build gives way to the last run's end.
  RunMark older = MarkOf(RunEnd::kCrashed);
  older.build = 51071;
  CHECK(BeginRun(&older, kBuild).report.outcome == RunOutcome::kNone);
  RunMark mixed = MarkOf(RunEnd::kAbnormal);
  mixed.pending = {RunOutcome::kCrashed, Fault(1, u"a", 2), 51071, 1};
  CHECK(BeginRun(&mixed, kBuild).report.outcome == RunOutcome::kAbnormal);

  // A run ends once; a crash on the way out still counts.
  RunMark mark = MarkOf(RunEnd::kBegun);
  EndRun(&mark, RunEnd::kClean);
  EndRun(&mark, RunEnd::kAbnormal);
  CHECK(mark.run == RunEnd::kClean);
  EndRun(&mark, RunEnd::kCrashed);
  EndRun(&mark, RunEnd::kAbnormal);
  CHECK(mark.run == RunEnd::kCrashed);
}
