// dtucfg batch serve: a live page of the line's batches for its supervisor,
// and the same figures as JSON. One thread reads the reporting views about
// once a second; every browser gets the latest read, so no browser ever
// makes the database work. What is answered, to whom and with which
// headers is decided here; the server itself is behind line/http_server.h.
#include <CLI/CLI.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "cli/connection_string.h"
#include "cli/output.h"
#include "cli/platform.h"
#include "cli/render.h"
#include "line/batch_store.h"
#include "line/batch_text.h"
#include "line/commands.h"
#include "line/db_connect.h"
#include "line/http_server.h"
#include "line/serve_page.h"
#include "line/view_json.h"
#include "serial/interrupt.h"

namespace {

using Json = nlohmann::ordered_json;

struct ServeOptions {
  std::vector<std::string> names;
  std::string listen = "127.0.0.1:8080";
  std::string db;
  double dbTimeout = kDbTimeoutSeconds;
} serve;

constexpr auto kReadEvery = std::chrono::seconds(1);
constexpr auto kSlice = std::chrono::milliseconds(50);
constexpr std::size_t kTokenBytes = 16;

void AddOptions(CLI::App& action, Options& /*options*/) {
  action.add_option("NAME", serve.names, "The batches to show; every open batch when none");
  action
      .add_option("--listen", serve.listen,
                  "The address and port to serve on; other than 127.0.0.1 or [::1], the page "
                  "needs the token printed at start")
      ->type_name("ADDR:PORT")
      ->capture_default_str();
  AddDbOption(action, &serve.db);
  AddDbTimeoutOption(action, &serve.dbTimeout);
}

struct Listen {
  std::string address;  // without brackets
  std::uint16_t port = 0;
  bool v6 = false;
  bool loopback = false;
};

// false, told, when text is no ADDR:PORT or [ADDR]:PORT this command serves on.
bool ParseListen(const std::string& text, Listen* listen) {
  const std::size_t colon = text.rfind(':');
  const auto refuse = [&](const std::string& why) {
    Error("--listen " + text + ": " + why);
    return false;
  };
  if (colon == std::string::npos || colon == 0) {
    return refuse("give ADDR:PORT, as 127.0.0.1:8080 or [::1]:8080");
  }
  std::string address = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
    listen->v6 = true;
  } else if (address.find(':') != std::string::npos) {
    return refuse("an IPv6 address goes in brackets, as [::1]:8080");
  }
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) > 65535) {
    return refuse("the port must be a number from 0 to 65535");
  }
  if (address.empty() || address == "0.0.0.0" || address == "::") {
    return refuse(
        "give one address of this PC; an address that answers on every network is not served");
  }
  listen->address = address;
  listen->port = static_cast<std::uint16_t>(std::stoul(port));
  listen->loopback = address == "127.0.0.1" || address == "::1";
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

// The Host headers a browser sends for this address and port: any other
// is a page elsewhere whose name was pointed at us (DNS rebinding).
std::vector<std::string> OwnHosts(const Listen& listen, std::uint16_t port) {
  const std::string address = listen.v6 ? "[" + Lower(listen.address) + "]" : listen.address;
  std::vector<std::string> names = {address};
  if (listen.loopback) {
    names.push_back("localhost");
  }
  std::vector<std::string> hosts;
  for (const std::string& name : names) {
    hosts.push_back(name + ":" + std::to_string(port));
    if (port == 80) {
      hosts.push_back(name);
    }
  }
  return hosts;
}

// Whether a and b are equal, in a time that depends on their lengths only.
bool SameSecret(const std::string& a, const std::string& b) {
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    differ |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
  }
  return differ == 0 && !b.empty();
}

std::string Base64(const std::array<std::uint8_t, 32>& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) |
                            (i + 1 < bytes.size() ? std::uint32_t{bytes[i + 1]} << 8 : 0) |
                            (i + 2 < bytes.size() ? std::uint32_t{bytes[i + 2]} : 0);
    text += kDigits[(n >> 18) & 63];
    text += kDigits[(n >> 12) & 63];
    text += i + 1 < bytes.size() ? kDigits[(n >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? kDigits[n & 63] : '=';
  }
  return text;
}

std::string Digest(const std::string& text) {
  return "'sha256-" +
         Base64(platform::Sha256(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) +
         "'";
}

std::string Replaced(std::string text, const std::string& mark, const std::string& by) {
  text.replace(text.find(mark), mark.size(), by);
  return text;
}

// The page with its policy: its own style and script by digest, the figures
// from this server alone, nothing else from anywhere.
struct Page {
  std::string html =
      Replaced(Replaced(kServePageHtml, "STYLE", kServePageStyle), "SCRIPT", kServePageScript);
  std::string policy = "default-src 'none'; script-src " + Digest(kServePageScript) +
                       "; style-src " + Digest(kServePageStyle) +
                       "; connect-src 'self'; img-src 'none'; base-uri 'none'; form-action "
                       "'none'; frame-ancestors 'none'";
};

// The latest read, as the JSON URL gives it.
struct Snapshot {
  std::mutex mutex;
  std::string json;
};

class Router {
 public:
  Router(const Page& page, Snapshot& snapshot, std::vector<std::string> hosts, std::string token)
      : page_(page), snapshot_(snapshot), hosts_(std::move(hosts)), token_(std::move(token)) {}

  HttpReply operator()(const HttpRequest& request) const {
    if (request.method != "GET" && request.method != "HEAD") {
      HttpReply reply = Plain(405, "only GET and HEAD are answered here\n");
      reply.headers.emplace_back("Allow", "GET, HEAD");
      return reply;
    }
    if (!request.host || !OwnHost(*request.host)) {
      return Plain(421, "this server answers only to its own address\n");
    }
    if (!token_.empty() && !SameSecret(request.token.value_or(""), token_)) {
      return Plain(403, "the page's address needs its token, as batch serve printed it\n");
    }
    if (request.path == "/") {
      return Reply(200, "text/html; charset=utf-8", page_.html);
    }
    if (request.path == "/data.json") {
      const std::lock_guard<std::mutex> lock(snapshot_.mutex);
      return Reply(200, "application/json", snapshot_.json);
    }
    return Plain(404, "not found\n");
  }

 private:
  bool OwnHost(const std::string& host) const {
    const std::string lower = Lower(host);
    for (const std::string& own : hosts_) {
      if (lower == own) {
        return true;
      }
    }
    return false;
  }

  HttpReply Reply(int status, const char* type, std::string body) const {
    HttpReply reply;
    reply.status = status;
    reply.body = std::move(body);
    reply.headers = {{"Content-Type", type},
                     {"Cache-Control", "no-store"},
                     {"X-Content-Type-Options", "nosniff"},
                     {"Content-Security-Policy", page_.policy},
                     {"Referrer-Policy", "no-referrer"},
                     {"X-Frame-Options", "DENY"},
                     {"Cross-Origin-Resource-Policy", "same-origin"}};
    return reply;
  }
  HttpReply Plain(int status, const char* text) const {
    return Reply(status, "text/plain; charset=utf-8", text);
  }

  const Page& page_;
  Snapshot& snapshot_;
  std::vector<std::string> hosts_;
  std::string token_;
};

std::string Names(const std::vector<std::string>& names) {
  std::string text = names.size() == 1 ? "batch " : "batches ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    text += (i == 0 ? "" : ", ") + names[i];
  }
  return text;
}

struct Figures {
  std::string lastGood;  // the database's time of the last good read
  Json batches = Json::array();
};

Json Batches(const LineView& view) {
  Json batches = Json::array();
  for (const BatchProgress& batch : view.batches) {
    batches.push_back(BatchJson(view, batch));
  }
  return batches;
}

void Publish(Snapshot& snapshot, const Figures& figures, bool live) {
  const Json json = {
      {"read_at", platform::IsoLocalTime()},
      {"database", live ? "ok" : "waiting"},
      {"last_good", figures.lastGood.empty() ? Json(nullptr) : Json(figures.lastGood)},
      {"batches", figures.batches}};
  std::string text = json.dump();
  const std::lock_guard<std::mutex> lock(snapshot.mutex);
  snapshot.json = std::move(text);
}

// Reads the views about once a second until Ctrl-C; an outage is waited
// out, told once on standard error, and shown on the page.
void Poll(BatchStore& store, const std::string& connection, const DbLimits& limits,
          Snapshot& snapshot, Figures figures) {
  bool live = true;
  auto next = std::chrono::steady_clock::now();
  while (!InterruptRequested()) {
    while (std::chrono::steady_clock::now() < next) {
      if (InterruptRequested()) {
        return;
      }
      std::this_thread::sleep_for(kSlice);
    }
    next = std::chrono::steady_clock::now() + kReadEvery;
    DbError error;
    LineView view;
    bool read = store.Connected() || store.Connect(connection, limits, &error);
    read = read && store.ReadView(serve.names, &view, &error);
    if (InterruptRequested()) {
      return;
    }
    if (read) {
      if (!live) {
        Warn("the database answers again");
      }
      figures.lastGood = view.readAt;
      figures.batches = Batches(view);
      live = true;
    } else {
      if (error.connectionLost) {
        store.Disconnect();
      }
      if (live) {
        Warn("waiting for the database, the page shows the figures of " + figures.lastGood + ": " +
             MaskMessage(DbErrorText(error), connection));
      }
      live = false;
    }
    Publish(snapshot, figures, live);
  }
}

int Run(const Options& /*options*/) {
  std::string why;
  if (!HttpServing(&why)) {
    Error(why);
    return kExitUsage;
  }
  Listen listen;
  if (!ParseListen(serve.listen, &listen)) {
    return kExitUsage;
  }
  std::string token;
  if (!listen.loopback && !SecretHex(kTokenBytes, &token)) {
    Error("the system gives no random bytes for the page's token");
    return kExitPort;
  }
  std::string connection;
  BatchStore store;
  const DbLimits limits = Limits(serve.dbTimeout);
  const int code = OpenBatchStore({"", serve.db, serve.dbTimeout}, false, &store);
  if (code != kExitOk || DbConnectionString(serve.db, &connection) != kExitOk) {
    return code;
  }
  LineView view;
  DbError error;
  if (!store.ReadView(serve.names, &view, &error)) {
    TellDbError("cannot read the line's figures", error);
    return InterruptRequested() ? kExitInterrupted : kExitUnit;
  }
  for (const std::string& name : serve.names) {
    bool found = false;
    for (const BatchProgress& batch : view.batches) {
      found = found || batch.batch == name;
    }
    if (!found) {
      Error("there is no " + BatchName(name) + " in this database");
      return kExitUsage;
    }
  }
  Figures figures{view.readAt, Batches(view)};
  Snapshot snapshot;
  Publish(snapshot, figures, true);
  const Page page;
  // The port is known once listening; the router learns it after.
  std::atomic<const Router*> router{nullptr};
  std::unique_ptr<HttpServer> server = StartHttpServer(
      listen.address, listen.port,
      [&router](const HttpRequest& request) {
        const Router* route = router.load();
        return route != nullptr ? (*route)(request) : HttpReply{503, {}, ""};
      },
      &why);
  if (!server) {
    Error("cannot serve on " + serve.listen + ": " + why);
    return kExitPort;
  }
  const Router routes(page, snapshot, OwnHosts(listen, server->port()), token);
  router.store(&routes);
  const std::string host = (listen.v6 ? "[" + listen.address + "]" : listen.address) + ":" +
                           std::to_string(server->port());
  ResultNow("serving " +
            (serve.names.empty() ? std::string("every open batch") : Names(serve.names)) + " of " +
            MaskPassword(connection) + " at http://" + host + "/" +
            (token.empty() ? "" : "?token=" + token) + " (Ctrl-C stops)\n");
  std::thread poller(Poll, std::ref(store), std::cref(connection), std::cref(limits),
                     std::ref(snapshot), figures);
  while (!InterruptRequested()) {
    std::this_thread::sleep_for(kSlice);
  }
  server.reset();
  poller.join();
  return kExitInterrupted;
}

}  // namespace

const CliCommand kBatchServe = {
    "serve", "A live page of batches for the line's supervisor, and its JSON", AddOptions, Run};
