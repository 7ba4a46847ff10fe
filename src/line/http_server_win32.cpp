// No server in the Windows build: Debian ships no libmicrohttpd for MinGW,
// and a wall page belongs on the line's Linux PC anyway.
#include "line/http_server.h"

bool HttpServing(std::string* why) {
  *why =
      "batch serve runs in the Linux build of dtucfg only (the Debian package, or "
      "build/native/dtucfg); run it on a Linux PC that reaches the line's database";
  return false;
}

std::unique_ptr<HttpServer> StartHttpServer(const std::string& /*address*/, std::uint16_t /*port*/,
                                            HttpHandler /*handler*/, std::string* error) {
  HttpServing(error);
  return nullptr;
}

bool SecretHex(std::size_t /*bytes*/, std::string* /*hex*/) { return false; }
