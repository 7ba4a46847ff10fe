// The HTTP server behind batch serve: the system's part of it. The Linux
// build serves with libmicrohttpd; the Windows build has none and says
// where batch serve runs. What is answered, and with which headers, is
// decided above this seam (line/batch_serve.cpp), the same on every system.
#ifndef DTU_LINE_HTTP_SERVER_H
#define DTU_LINE_HTTP_SERVER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct HttpRequest {
  std::string method;
  std::string path;                  // without the query
  std::optional<std::string> host;   // the Host header
  std::optional<std::string> token;  // ?token=
};

struct HttpReply {
  int status = 404;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

using HttpHandler = std::function<HttpReply(const HttpRequest&)>;

class HttpServer {
 public:
  HttpServer() = default;
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  // Stops listening, and waits for the requests being answered.
  virtual ~HttpServer() = default;
  // The port listened on: the one asked for, or the system's pick for 0.
  virtual std::uint16_t port() const = 0;
};

// Whether this build has a server; why not (in words for the user) when not.
bool HttpServing(std::string* why);
// Listens on address (numeric IPv4 or IPv6) and port, and answers every
// request with handler, called on the server's one thread. Nothing, with the
// reason, when it cannot listen.
std::unique_ptr<HttpServer> StartHttpServer(const std::string& address, std::uint16_t port,
                                            HttpHandler handler, std::string* error);
// bytes from the system's source of secrets, as hex; false when it has none.
bool SecretHex(std::size_t bytes, std::string* hex);

#endif
