// batch serve's server on Linux: libmicrohttpd, one thread, every limit set
// here and nothing it does not need (no POST processing, no uploads, no
// TLS: it serves a page on the line's own network).
#include "line/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cli/hex.h"
#include "cli/output.h"

namespace {

// A wall screen or two and a supervisor's browser; a few connections each.
constexpr unsigned kConnections = 32;
constexpr unsigned kConnectionsPerAddress = 8;
constexpr unsigned kIdleSeconds = 10;
// Enough for a browser's request headers; a request bigger is refused.
constexpr std::size_t kMemoryPerConnection = std::size_t{32} * 1024;
constexpr unsigned kBacklog = 16;

void Log(void* /*cls*/, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  std::string message(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.pop_back();
  }
  Warn("the page's server: " + message);
}

std::optional<std::string> Value(MHD_Connection* connection, MHD_ValueKind kind, const char* key) {
  const char* value = MHD_lookup_connection_value(connection, kind, key);
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string(value);
}

class MhdServer final : public HttpServer {
 public:
  explicit MhdServer(HttpHandler handler) : handler_(std::move(handler)) {}
  ~MhdServer() override {
    if (daemon_ != nullptr) {
      MHD_stop_daemon(daemon_);
    }
  }

  bool Start(const std::string& address, std::uint16_t port, std::string* error) {
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* where = nullptr;
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG;
    if (inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
      v4.sin_family = AF_INET;
      v4.sin_port = htons(port);
      where = reinterpret_cast<const sockaddr*>(&v4);
    } else if (inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1) {
      v6.sin6_family = AF_INET6;
      v6.sin6_port = htons(port);
      where = reinterpret_cast<const sockaddr*>(&v6);
      flags |= MHD_USE_IPv6;
    } else {
      *error = address + " is not a numeric IPv4 or IPv6 address";
      return false;
    }
    errno = 0;
    daemon_ =
        MHD_start_daemon(flags, port, nullptr, nullptr, &MhdServer::Answer, this,  //
                         MHD_OPTION_EXTERNAL_LOGGER, &Log, nullptr,  // first, so all goes there
                         MHD_OPTION_SOCK_ADDR, where,                //
                         MHD_OPTION_CONNECTION_LIMIT, kConnections,  //
                         MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerAddress,
                         MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,               //
                         MHD_OPTION_CONNECTION_MEMORY_LIMIT, kMemoryPerConnection,  //
                         MHD_OPTION_LISTEN_BACKLOG_SIZE, kBacklog,                  //
                         MHD_OPTION_LISTENING_ADDRESS_REUSE, 0,                     //
                         MHD_OPTION_STRICT_FOR_CLIENT, 1,                           //
                         MHD_OPTION_SERVER_INSANITY, 0,                             //
                         // platform::Start ignores SIGPIPE for the whole program.
                         MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 1,  //
                         MHD_OPTION_END);
    if (daemon_ == nullptr) {
      *error = errno != 0 ? std::strerror(errno) : "the server would not start";
      return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info != nullptr ? info->port : port;
    return true;
  }

  std::uint16_t port() const override { return port_; }

 private:
  static MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char* /*version*/, const char* /*uploadData*/,
                           std::size_t* /*uploadSize*/, void** /*state*/) {
    auto* self = static_cast<MhdServer*>(cls);
    HttpRequest request;
    request.method = method;
    request.path = url;
    request.host = Value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    request.token = Value(connection, MHD_GET_ARGUMENT_KIND, "token");
    const HttpReply reply = self->handler_(request);
    MHD_Response* response = MHD_create_response_from_buffer(
        reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
      return MHD_NO;
    }
    for (const auto& [name, value] : reply.headers) {
      MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    // A refused request may still carry a body: the connection is not kept.
    if (reply.status >= 400) {
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    }
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
    MHD_destroy_response(response);
    return queued;
  }

  HttpHandler handler_;
  MHD_Daemon* daemon_ = nullptr;
  std::uint16_t port_ = 0;
};

}  // namespace

bool HttpServing(std::string* /*why*/) { return true; }

std::unique_ptr<HttpServer> StartHttpServer(const std::string& address, std::uint16_t port,
                                            HttpHandler handler, std::string* error) {
  auto server = std::make_unique<MhdServer>(std::move(handler));
  if (!server->Start(address, port, error)) {
    return nullptr;
  }
  return server;
}

bool SecretHex(std::size_t bytes, std::string* hex) {
  std::vector<std::uint8_t> secret(bytes);
  std::size_t got = 0;
  while (got < bytes) {
    const ssize_t n = getrandom(secret.data() + got, bytes - got, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  *hex = Hex(secret.data(), secret.size());
  return true;
}
