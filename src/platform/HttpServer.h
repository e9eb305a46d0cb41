#pragma once
// A small HTTP/1.1 server for the station's service: one thread does all the network
// work (accepting, reading requests, writing responses and event streams) and a few
// handler threads run the requests. Every resource is bounded: the request head and
// body, the time a client may take to send its request or read a response, the
// number of connections and of requests waiting for a handler. A client that breaks a
// bound gets a clear 4xx (or 503) and is closed; none can hold up another or the
// handlers.
//
// A response may be an event stream (text/event-stream): the handler gives a feed, and
// the network thread writes whatever the feed has whenever the feed wakes it, until the
// feed ends or the client goes.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct HttpRequest {
  std::string method;  // "GET"
  std::string path;    // "/api/v1/state" (without the query)
  std::string query;   // "from=1&to=2" (without '?'), undecoded
  // Header names in lower case.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string peer;  // the client's address, for messages

  // The first header of that (lower-case) name, or "".
  std::string Header(const std::string& lowerName) const;
  // The decoded value of a query parameter; false when it is not there.
  bool QueryValue(const std::string& name, std::string* value) const;
};

// The chunks of an event stream. Take and Ended are called on the server's network
// thread; the feed's owner calls the waker (from any thread) whenever it has more.
class HttpEventFeed {
 public:
  virtual ~HttpEventFeed() = default;
  // Appends what waits to *out (at most maxBytes where it can); returns false once the
  // feed has ended and nothing more will come (the stream is then closed).
  virtual bool Take(std::string* out, size_t maxBytes) = 0;
  // The server's waker; called once, before the first Take.
  virtual void SetWaker(std::function<void()> wake) = 0;
  // The stream is closed (client gone, server stopping, or the feed ended).
  virtual void Closed() = 0;
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // Set: an event stream; the body is sent first, then the feed's chunks.
  std::shared_ptr<HttpEventFeed> feed;
};

struct HttpServerLimits {
  size_t maxHeadBytes = 8 * 1024;
  size_t maxBodyBytes = 64 * 1024;
  size_t maxConnections = 64;
  size_t handlerThreads = 3;
  size_t maxQueuedRequests = 32;
  // The whole request (head and body) must arrive within this time; a kept-alive
  // connection may stay idle as long.
  int requestTimeoutMs = 10000;
  // A response (or a chunk of a stream) must be taken by the client within this time.
  int writeTimeoutMs = 10000;
  // An event stream gets a comment line after this much quiet.
  int keepAliveMs = 15000;
};

class HttpServer {
 public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;
  virtual ~HttpServer() = default;
  // Listens on address:port (port 0: any free port) and serves with handler, which is
  // called on the handler threads. False with *error set when it cannot listen.
  virtual bool Start(const std::string& address, uint16_t port, const HttpServerLimits& limits,
                     Handler handler, std::string* error) = 0;
  // The port listened on (after Start).
  virtual uint16_t Port() const = 0;
  // Closes every connection and joins every thread; handlers running now finish first.
  // Idempotent.
  virtual void Stop() = 0;
};

std::unique_ptr<HttpServer> NewHttpServer();

// The reason phrase of a status code ("Not Found").
const char* HttpReason(int status);
