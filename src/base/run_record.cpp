#include "base/run_record.h"

#include <cstring>

namespace {

constexpr char kHeader[] = "murmelon-run 1";
constexpr char kHex[] = "0123456789abcdef";

bool IsModuleChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
}

const char* EndWord(RunEnd end) {
  switch (end) {
    case RunEnd::kBegun: return "begun";
    case RunEnd::kClean: return "clean";
    case RunEnd::kCrashed: return "crashed";
    case RunEnd::kAbnormal: return "abnormal";
  }
  return "";
}

// Appends to a fixed area; once something does not fit, the whole text is refused.
struct Writer {
  char* out;
  size_t size;
  size_t used = 0;
  bool fits = true;

  void Text(const char* text) {
    for (; *text; ++text) {
      if (used + 1 >= size) {
        fits = false;
        return;
      }
      out[used++] = *text;
    }
  }
  void Number(int32_t value) {
    char digits[12];
    int n = 0;
    uint32_t rest = value < 0 ? 0 : static_cast<uint32_t>(value);
    do {
      digits[n++] = static_cast<char>('0' + rest % 10);
      rest /= 10;
    } while (rest);
    char text[12];
    for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
    text[n] = '\0';
    Text(text);
  }
  void Fault(const FaultSignature& fault) {
    char text[kSignatureTextSize];
    FormatFaultSignature(fault, text);
    Text(text);
  }
  void Line(const char* key, const char* value) {
    Text(key);
    Text(value);
    Text("\r\n");
  }
};

// Reads the fixed lines back, each "key" + value + CR LF.
struct Reader {
  const char* at;
  const char* end;

  // The value of the next line, which must begin with key.
  bool Line(const char* key, const char** value, size_t* length) {
    size_t keyLength = std::strlen(key);
    if (static_cast<size_t>(end - at) < keyLength || std::memcmp(at, key, keyLength) != 0) return false;
    const char* start = at + keyLength;
    for (const char* p = start; p + 1 < end; ++p) {
      if (p[0] == '\r' && p[1] == '\n') {
        *value = start;
        *length = static_cast<size_t>(p - start);
        at = p + 2;
        return true;
      }
      if (p[0] == '\r' || p[0] == '\n' || p[0] == '\0') return false;
    }
    return false;
  }
  bool Word(const char* key, const char* const* words, int count, int* index) {
    const char* value;
    size_t length;
    if (!Line(key, &value, &length)) return false;
    for (int i = 0; i < count; ++i)
      if (std::strlen(words[i]) == length && std::memcmp(words[i], value, length) == 0) {
        *index = i;
        return true;
      }
    return false;
  }
  // A decimal number of 1 to 9 digits without a leading zero, or "0".
  bool Number(const char* key, int32_t* number) {
    const char* value;
    size_t length;
    if (!Line(key, &value, &length) || length == 0 || length > 9) return false;
    if (value[0] == '0' && length > 1) return false;
    int32_t n = 0;
    for (size_t i = 0; i < length; ++i) {
      if (value[i] < '0' || value[i] > '9') return false;
      n = n * 10 + (value[i] - '0');
    }
    *number = n;
    return true;
  }
  // A signature when `present`, an empty value otherwise.
  bool Fault(const char* key, bool present, FaultSignature* fault) {
    const char* value;
    size_t length;
    if (!Line(key, &value, &length)) return false;
    if (!present) {
      *fault = FaultSignature{};
      return length == 0;
    }
    return ParseFaultSignature(value, length, fault);
  }
};

const char* const kEndWords[] = {"begun", "clean", "crashed", "abnormal"};
const char* const kOutcomeWords[] = {"none", "clean", "crashed", "abnormal", "unknown"};
const char* const kSwitchWords[] = {"off", "on"};
const char* const kNoticeWords[] = {"due", "shown"};

// Eight lower-case hex digits, as WriteHex8 writes them.
bool ParseHex8(const char* text, uint32_t* out) {
  uint32_t value = 0;
  for (int i = 0; i < 8; ++i) {
    const char c = text[i];
    uint32_t digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      digit = static_cast<uint32_t>(c - 'a' + 10);
    else
      return false;
    value = value << 4 | digit;
  }
  *out = value;
  return true;
}

void WriteHex8(uint32_t value, char* out) {
  for (int i = 7; i >= 0; --i, value >>= 4) out[i] = kHex[value & 0xF];
}

RunReport NoReport() { return RunReport{RunOutcome::kNone, {}, 0, 0}; }

RunReport ReportOfEnd(const RunMark& mark) {
  static const RunOutcome kOutcomeOfEnd[] = {RunOutcome::kUnknown, RunOutcome::kClean,
                                             RunOutcome::kCrashed, RunOutcome::kAbnormal};
  RunReport report = NoReport();
  report.outcome = kOutcomeOfEnd[static_cast<int>(mark.run)];
  if (mark.run == RunEnd::kCrashed) report.fault = mark.fault;
  report.build = mark.build;
  return report;
}

}  // namespace

void SetFaultModule(FaultSignature* fault, const uint16_t* name, size_t length) {
  if (length == 0) {
    SetNoFaultModule(fault);
    return;
  }
  if (length > kFaultModuleChars) length = kFaultModuleChars;
  for (size_t i = 0; i < length; ++i) {
    uint16_t c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<uint16_t>(c - 'A' + 'a');
    fault->module[i] = c < 0x80 && IsModuleChar(static_cast<char>(c)) ? static_cast<char>(c) : '_';
  }
  fault->module[length] = '\0';
}

void SetNoFaultModule(FaultSignature* fault) {
  fault->module[0] = '-';
  fault->module[1] = '\0';
  fault->offset = 0;
}

void FormatFaultSignature(const FaultSignature& fault, char* out) {
  WriteHex8(fault.code, out);
  out[8] = ':';
  size_t length = 0;
  while (length < kFaultModuleChars && fault.module[length]) ++length;
  std::memcpy(out + 9, fault.module, length);
  out[9 + length] = ':';
  WriteHex8(fault.offset, out + 10 + length);
  out[18 + length] = '\0';
}

bool ParseFaultSignature(const char* text, size_t length, FaultSignature* out) {
  // The shortest is a one-character module: 8 + 1 + 1 + 1 + 8.
  if (length < 19 || length > kSignatureTextSize - 1) return false;
  const size_t moduleLength = length - 18;
  FaultSignature fault = {};
  if (text[8] != ':' || text[9 + moduleLength] != ':') return false;
  if (!ParseHex8(text, &fault.code) || !ParseHex8(text + 10 + moduleLength, &fault.offset))
    return false;
  for (size_t i = 0; i < moduleLength; ++i) {
    if (!IsModuleChar(text[9 + i])) return false;
    fault.module[i] = text[9 + i];
  }
  fault.module[moduleLength] = '\0';
  *out = fault;
  return true;
}

const char* OutcomeWord(RunOutcome outcome) {
  return outcome == RunOutcome::kNone ? "" : kOutcomeWords[static_cast<int>(outcome)];
}

size_t FormatRunMark(const RunMark& mark, char* out, size_t size) {
  if (size == 0) return 0;
  Writer w{out, size};
  w.Line(kHeader, "");
  w.Line("run=", EndWord(mark.run));
  w.Text("fault=");
  if (mark.run == RunEnd::kCrashed) w.Fault(mark.fault);
  w.Text("\r\nbuild=");
  w.Number(mark.build);
  w.Text("\r\n");
  w.Line("report=", mark.reportOn ? "on" : "off");
  w.Line("notice=", mark.noticeShown ? "shown" : "due");
  const RunReport& pending = mark.pending;
  w.Line("pending=", kOutcomeWords[static_cast<int>(pending.outcome)]);
  w.Text("pending-fault=");
  if (pending.outcome == RunOutcome::kCrashed) w.Fault(pending.fault);
  w.Text("\r\npending-build=");
  w.Number(pending.build);
  w.Text("\r\npending-tries=");
  w.Number(pending.tries);
  w.Text("\r\n");
  if (!w.fits) {
    out[0] = '\0';
    return 0;
  }
  out[w.used] = '\0';
  return w.used;
}

bool ParseRunMark(const char* bytes, size_t length, RunMark* out) {
  if (length > kRunMarkFileCap) return false;
  Reader r{bytes, bytes + length};
  RunMark mark = {};
  const char* value;
  size_t valueLength;
  int run, report, notice, pending;
  if (!r.Line(kHeader, &value, &valueLength) || valueLength != 0 ||
      !r.Word("run=", kEndWords, 4, &run))
    return false;
  mark.run = static_cast<RunEnd>(run);
  if (!r.Fault("fault=", mark.run == RunEnd::kCrashed, &mark.fault) ||
      !r.Number("build=", &mark.build) || !r.Word("report=", kSwitchWords, 2, &report) ||
      !r.Word("notice=", kNoticeWords, 2, &notice) ||
      !r.Word("pending=", kOutcomeWords, 5, &pending))
    return false;
  mark.reportOn = report == 1;
  mark.noticeShown = notice == 1;
  mark.pending.outcome = static_cast<RunOutcome>(pending);
  if (!r.Fault("pending-fault=", mark.pending.outcome == RunOutcome::kCrashed, &mark.pending.fault) ||
      !r.Number("pending-build=", &mark.pending.build) ||
      !r.Number("pending-tries=", &mark.pending.tries) || r.at != r.end)
    return false;
  if (mark.pending.tries > kReportTries) return false;
  *out = mark;
  return true;
}

RunStart BeginRun(const RunMark* previous, int32_t build) {
  RunStart start = {};
  start.mark.run = RunEnd::kBegun;
  start.mark.build = build;
  start.mark.reportOn = true;  // the setting's default, until the player's choice is read
  start.mark.pending = NoReport();
  start.report = NoReport();
  if (!previous) return start;
  start.mark.reportOn = previous->reportOn;
  start.mark.noticeShown = previous->noticeShown;
  if (!previous->reportOn) return start;  // nothing kept, nothing sent

  RunReport report = previous->pending;
  const bool retry = report.outcome != RunOutcome::kNone && report.tries < kReportTries &&
                     report.build == build;
  // While an older report waits for an answer, the runs meanwhile go unreported: one
  // report per check, and the dropping depends on the network, not on how runs ended.
  if (!retry) report = ReportOfEnd(*previous);
  if (report.build != build) return start;
  ++report.tries;
  start.report = report;
  start.mark.pending = report;  // until the check is answered
  start.notice = !previous->noticeShown;
  start.mark.noticeShown = true;
  return start;
}

void EndRun(RunMark* mark, RunEnd how) {
  if (mark->run == RunEnd::kCrashed) return;
  if (how == RunEnd::kCrashed || mark->run == RunEnd::kBegun) mark->run = how;
}
