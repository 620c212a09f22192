#include "update/update_answer.h"

#include <cstdlib>
#include <cstring>

#include "vstdlib/vstdlib_helper.h"

namespace {

constexpr const char kData[] = "DATA:";
constexpr const char kSaveTo[] = "SAVETO:";
constexpr const char kMD5[] = "MD5:";
constexpr const char kWhatNew[] = "WHATNEW:";
constexpr const char kVersion[] = "VERSION:";
constexpr const char kBuild[] = "BUILD:";
constexpr const char kSignature[] = "SIGNATURE:";

template <size_t N>
constexpr size_t Length(const char (&)[N]) { return N - 1; }

}  // namespace

bool StartAnswer(UpdateAnswer* answer) {
  answer->text = static_cast<char*>(std::malloc(1));
  answer->count = answer->text ? 1 : 0;
  if (answer->text) answer->text[0] = '\0';
  return answer->text != nullptr;
}

bool AppendToAnswer(UpdateAnswer* answer, const char* bytes, size_t count) {
  char* grown = static_cast<char*>(std::realloc(answer->text, answer->count + count));
  if (!grown) return false;
  // The new bytes go where the terminator stood; a new terminator follows them.
  std::memcpy(grown + answer->count - 1, bytes, count);
  answer->count += count;
  grown[answer->count - 1] = '\0';
  answer->text = grown;
  return true;
}

void ReleaseAnswer(UpdateAnswer* answer) {
  std::free(answer->text);
  answer->text = nullptr;
  answer->count = 0;
}

AnswerVerdict TestAnswer(const UpdateAnswer& answer) {
  const char* text = answer.text;
  if (Q_stristr(text, "ERROR")) return AnswerVerdict::kRefused;
  if (Q_stristr(text, "LATEST_VERSION")) return AnswerVerdict::kLatest;
  if (Q_stristr(text, "FUTURE_VERSION")) return AnswerVerdict::kFuture;
  // Bytes behind a zero byte are never searched, so the cap counts bytes, not text.
  const char* data = Q_stristr(text, kData);
  size_t before = data ? static_cast<size_t>(data - text) : answer.count - 1;
  if (before > kAnswerCap) return AnswerVerdict::kOversized;
  return data ? AnswerVerdict::kUpdate : AnswerVerdict::kIncomplete;
}

bool CutAnswer(UpdateAnswer* answer, UpdateOffer* offer) {
  char* text = answer->text;
  char* data = const_cast<char*>(Q_stristr(text, kData));
  if (!data) return false;
  *data = '\0';
  offer->data = data + Length(kData);
  offer->dataSize = answer->count - 1 - static_cast<size_t>(offer->data - text);

  char* saveTo = const_cast<char*>(Q_stristr(text, kSaveTo));
  char* md5 = const_cast<char*>(Q_stristr(text, kMD5));
  // Both are searched from the start: an "MD5:" before "SAVETO:" (a Content-MD5 header,
  // say) would otherwise end the save path before it began.
  if (!saveTo || !md5 || md5 < saveTo + Length(kSaveTo)) return false;
  char* build = const_cast<char*>(Q_stristr(text, kBuild));
  char* signature = build ? const_cast<char*>(Q_stristr(build + Length(kBuild), kSignature)) : nullptr;
  bool signedOffer = signature && signature + Length(kSignature) <= saveTo;
  offer->build = signedOffer ? build + Length(kBuild) : nullptr;
  offer->signature = signedOffer ? signature + Length(kSignature) : nullptr;
  // Each value ends where the next key begins; cut only once every key has been found.
  if (signedOffer) {
    *signature = '\0';
    *saveTo = '\0';
  }
  offer->savePath = saveTo + Length(kSaveTo);
  *md5 = '\0';
  char* digest = md5 + Length(kMD5);
  char* whatNew = const_cast<char*>(Q_stristr(digest, kWhatNew));
  if (!whatNew) return false;
  *whatNew = '\0';
  offer->digest = digest;
  char* news = whatNew + Length(kWhatNew);
  char* version = const_cast<char*>(Q_stristr(news, kVersion));
  if (!version) return false;
  *version = '\0';
  offer->news = news;
  offer->version = version + Length(kVersion);
  return true;
}
