// The codec choice of the two switches and how the flags move, row by row, without
// Windows; and the bounded copy of the server's codec name.
#include <doctest/doctest.h>

#include <cstring>
#include <string>

#include "voice/codec_state.h"

namespace {

using C = VoiceChoice;

CodecState Flags(int serverSteam, int steamActive, int failed) {
  return CodecState{static_cast<uint8_t>(serverSteam), static_cast<uint8_t>(steamActive),
                    static_cast<uint8_t>(failed)};
}

bool Same(const CodecState& a, const CodecState& b) {
  return a.serverSteamVoice == b.serverSteamVoice && a.steamVoiceActive == b.steamVoiceActive &&
         a.voiceInitFailed == b.voiceInitFailed;
}

}  // namespace

TEST_CASE("outside a game neither switch does anything, whatever the flags") {
  for (int32_t clientState : {0, 1, 4, 6, -5})
    for (int bits = 0; bits < 8; ++bits) {
      CodecState s = Flags(bits & 1, (bits >> 1) & 1, (bits >> 2) & 1);
      CHECK(SteamSwitchChoice(s, clientState) == C::kNothing);
      CHECK(ServerSwitchChoice(s, clientState) == C::kNothing);
    }
}

TEST_CASE("every flag combination chooses as the table says") {
  struct Row {
    int serverSteam, steamActive, failed;
    C steam, server;
  } rows[] = {
      // The server named a codec.
      {0, 0, 0, C::kSteamVoice, C::kNothing},      // on the server codec and it worked
      {0, 0, 1, C::kSteamVoice, C::kServerCodec},  // last switch failed: try again
      {0, 1, 0, C::kNothing, C::kServerCodec},     // on Steam voice: back to the codec
      {0, 1, 1, C::kNothing, C::kServerCodec},
      // The server announced Steam voice.
      {1, 0, 0, C::kSteamVoice, C::kSteamVoice},
      {1, 0, 1, C::kSteamVoice, C::kSteamVoice},
      {1, 1, 0, C::kNothing, C::kNothing},         // already what the server uses
      {1, 1, 1, C::kNothing, C::kSteamVoice},      // a failed switch since: try again
  };
  for (const Row& row : rows) {
    CAPTURE(row.serverSteam);
    CAPTURE(row.steamActive);
    CAPTURE(row.failed);
    CodecState s = Flags(row.serverSteam, row.steamActive, row.failed);
    CHECK(SteamSwitchChoice(s, kClientActive) == row.steam);
    CHECK(ServerSwitchChoice(s, kClientActive) == row.server);
  }
}

TEST_CASE("a switch's outcome moves only the flags it owns") {
  for (int bits = 0; bits < 8; ++bits) {
    const CodecState before = Flags(bits & 1, (bits >> 1) & 1, (bits >> 2) & 1);
    CAPTURE(bits);

    CodecState s = before;
    RecordSwitchOutcome(&s, C::kNothing, false);
    CHECK(Same(s, before));

    s = before;
    RecordSwitchOutcome(&s, C::kSteamVoice, true);
    CHECK(Same(s, Flags(before.serverSteamVoice, 1, 0)));

    s = before;
    RecordSwitchOutcome(&s, C::kServerCodec, true);
    CHECK(Same(s, Flags(before.serverSteamVoice, 0, 0)));

    for (C choice : {C::kSteamVoice, C::kServerCodec}) {
      s = before;
      RecordSwitchOutcome(&s, choice, false);
      CHECK(Same(s, Flags(before.serverSteamVoice, before.steamVoiceActive, 1)));
    }
  }
}

TEST_CASE("a voice-init message sets the server's choice and leaves the failed flag") {
  CodecState s = Flags(0, 0, 1);
  RecordVoiceInitMessage(&s, false);
  CHECK(Same(s, Flags(1, 1, 1)));
  RecordVoiceInitMessage(&s, true);
  CHECK(Same(s, Flags(0, 0, 1)));
}

TEST_CASE("the stored codec name never overflows its buffer and is always terminated") {
  char buffer[kCodecNameSize + 8];
  std::memset(buffer, '#', sizeof buffer);
  const std::string fits(kCodecNameSize - 1, 'a');
  StoreCodecName(buffer, kCodecNameSize, fits.c_str());
  CHECK(std::string(buffer) == fits);

  for (size_t length : {kCodecNameSize, kCodecNameSize + 1, size_t{500}}) {
    std::memset(buffer, '#', sizeof buffer);
    const std::string longName(length, 'v');
    StoreCodecName(buffer, kCodecNameSize, longName.c_str());
    CHECK(std::strlen(buffer) == kCodecNameSize - 1);
    CHECK(buffer[kCodecNameSize] == '#');  // nothing written past the buffer
  }

  StoreCodecName(buffer, kCodecNameSize, "voice_speex");
  CHECK(std::string(buffer) == "voice_speex");
  StoreCodecName(buffer, kCodecNameSize, nullptr);
  CHECK(buffer[0] == '\0');
}
