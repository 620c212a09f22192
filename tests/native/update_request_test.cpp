// The update server's address as configured, and the request's exact bytes.
#include <doctest/doctest.h>

#include <string>

#include "update/digest.h"
#include "update/update_request.h"

namespace {

std::string Request(const char* address, const char* a, const char* b, int build) {
  UpdateServer server;
  REQUIRE(ParseUpdateServer(address, &server));
  char c[kHexDigestSize];
  RequestDigest(a, b, c);
  char request[kRequestSize];
  int length = FormatUpdateRequest(request, server, a, b, c, build, "");
  CHECK(length == static_cast<int>(std::string(request).size()));
  return request;
}

}  // namespace

TEST_CASE("update server addresses: a host name with an optional port") {
  UpdateServer server;
  REQUIRE(ParseUpdateServer("update.murmelon.invalid", &server));
  CHECK(std::string(server.host) == "update.murmelon.invalid");
  CHECK(server.port == 80);
  REQUIRE(ParseUpdateServer("127.0.0.1:65535", &server));
  CHECK(std::string(server.host) == "127.0.0.1");
  CHECK(server.port == 65535);

  const char* refused[] = {"", ":80", "host:", "host:0", "host:65536", "host:8o", "host:-1",
                           "host:80:81", "two words", "host\r\nX-Injected: 1", "host\tx",
                           "host: 80"};
  for (const char* text : refused) {
    CAPTURE(text);
    CHECK_FALSE(ParseUpdateServer(text, &server));
  }
  CHECK(ParseUpdateServer(std::string(255, 'h').c_str(), &server));
  CHECK_FALSE(ParseUpdateServer(std::string(256, 'h').c_str(), &server));
}

TEST_CASE("the request is one GET line, the Host line and an empty line, nothing else") {
  const char* a = "0123456789abcdef0123456789abcdef";
  const char* b = "fedcba9876543210fedcba9876543210";
  char c[kHexDigestSize];
  StringMD5Hex("0123456789abcdef0123456789abcdeffedcba9876543210fedcba9876543210", c);

  CHECK(Request("update.murmelon.invalid", a, b, 51081) ==
        std::string("GET /Murmelon/CheckUpdate_v2.php?mode=debug&a=") + a + "&b=" + b + "&c=" + c +
            "&d=51081 HTTP/1.0\r\nHost: update.murmelon.invalid\r\n\r\n");
  // The port is named in the Host line only when it is not 80.
  CHECK(Request("127.0.0.1:8080", a, b, 51082) ==
        std::string("GET /Murmelon/CheckUpdate_v2.php?mode=debug&a=") + a + "&b=" + b + "&c=" + c +
            "&d=51082 HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n");
  CHECK(Request("h:80", a, b, 1).find("\r\nHost: h\r\n\r\n") != std::string::npos);
}

TEST_CASE("an unreadable module file sends an empty a, and c covers b alone") {
  const char* b = "fedcba9876543210fedcba9876543210";
  char c[kHexDigestSize];
  StringMD5Hex(b, c);
  CHECK(Request("h", "", b, 51081).rfind(std::string("GET /Murmelon/CheckUpdate_v2.php?mode=debug&a=&b=") +
                                            b + "&c=" + c + "&d=51081 HTTP/1.0\r\n",
                                        0) == 0);
}
