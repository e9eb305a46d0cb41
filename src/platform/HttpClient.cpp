// The station's HTTP client over Boost.Beast and Boost.Asio (header-only, the same code
// on Linux and Windows). Each call runs its exchange on an io_context of its own, in
// steps of at most 100 ms, so the time-out and the cancel flag are looked at between
// steps; an exchange given up closes its socket and lets the aborted operations end
// before it returns. Only the name lookup cannot be aborted (the system's resolver
// blocks): it runs on a thread of its own that a call may leave behind.
#include "platform/HttpClient.h"

#include <utility>  // before Asio: its coroutine support needs std::exchange

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kStep{100};

bool NameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// One name lookup, shared by the call that waits for it and the thread that does it.
struct Lookup {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::vector<tcp::endpoint> endpoints;
  std::string error;
};

// The lookup threads of the process. A call that stops waiting leaves its lookup's
// thread here; finished ones are joined by the next call, and the rest when the
// process ends (every lookup ends within the system resolver's own time-outs).
class LookupThreads {
 public:
  static constexpr size_t kMaxRunning = 4;

  ~LookupThreads() {
    std::lock_guard<std::mutex> lock(m_);
    for (Entry& e : running_) e.thread.join();
  }

  // Starts looking host up on a thread; false when too many lookups are still running.
  bool Start(const std::shared_ptr<Lookup>& lookup, const std::string& host, uint16_t port) {
    std::lock_guard<std::mutex> lock(m_);
    ReapLocked();
    if (running_.size() >= kMaxRunning) return false;
    running_.push_back(Entry{lookup, std::thread([lookup, host, port] {
                               net::io_context ioc;
                               tcp::resolver resolver(ioc);
                               beast::error_code ec;
                               const auto results = resolver.resolve(
                                   host, std::to_string(port), tcp::resolver::numeric_service, ec);
                               std::lock_guard<std::mutex> l(lookup->m);
                               if (ec) {
                                 lookup->error = ec.message();
                               } else {
                                 for (const auto& r : results) lookup->endpoints.push_back(r);
                               }
                               lookup->done = true;
                               lookup->cv.notify_all();
                             })});
    return true;
  }

  void Reap() {
    std::lock_guard<std::mutex> lock(m_);
    ReapLocked();
  }

 private:
  struct Entry {
    std::shared_ptr<Lookup> lookup;
    std::thread thread;
  };

  void ReapLocked() {
    for (auto it = running_.begin(); it != running_.end();) {
      bool done;
      {
        std::lock_guard<std::mutex> l(it->lookup->m);
        done = it->lookup->done;
      }
      if (done) {
        it->thread.join();  // it only has to return
        it = running_.erase(it);
      } else {
        ++it;
      }
    }
  }

  std::mutex m_;
  std::list<Entry> running_;
};

LookupThreads& Lookups() {
  static LookupThreads threads;
  return threads;
}

std::string TimedOut(uint32_t timeoutMs) {
  return "timed out after " + std::to_string(timeoutMs) + " ms";
}

// The endpoints of url's host: an address as it is, a name looked up on a thread of
// its own, waited for until deadline or cancel.
bool Resolve(const HttpUrl& url, Clock::time_point deadline, uint32_t timeoutMs,
             const std::atomic<bool>* cancel, std::vector<tcp::endpoint>* endpoints,
             std::string* error) {
  beast::error_code ec;
  const net::ip::address addr = net::ip::make_address(url.host, ec);
  if (!ec) {
    endpoints->push_back(tcp::endpoint(addr, url.port));
    return true;
  }
  auto lookup = std::make_shared<Lookup>();
  if (!Lookups().Start(lookup, url.host, url.port)) {
    *error = "cannot look up '" + url.host + "': earlier look-ups still hang";
    return false;
  }
  std::unique_lock<std::mutex> lock(lookup->m);
  while (!lookup->done) {
    if (cancel && cancel->load()) {
      *error = "cancelled";
      return false;
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      *error = TimedOut(timeoutMs) + " (looking up '" + url.host + "')";
      return false;
    }
    lookup->cv.wait_for(lock, std::min<Clock::duration>(kStep, deadline - now));
  }
  if (!lookup->error.empty() || lookup->endpoints.empty()) {
    *error = "cannot look up '" + url.host +
             "': " + (lookup->error.empty() ? std::string("no address") : lookup->error);
    return false;
  }
  *endpoints = lookup->endpoints;
  lock.unlock();
  Lookups().Reap();
  return true;
}

std::string ConnectError(const beast::error_code& ec) {
  if (ec == net::error::connection_refused) return "connection refused";
  if (ec == net::error::host_unreachable) return "host unreachable";
  if (ec == net::error::network_unreachable) return "network unreachable";
  return "cannot connect: " + ec.message();
}

std::string ReadError(const beast::error_code& ec, const HttpClientLimits& limits) {
  if (ec == http::error::body_limit) {
    return "the answer's body is longer than " + std::to_string(limits.maxBodyBytes) + " bytes";
  }
  if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
    return "the answer's head is longer than " + std::to_string(limits.maxHeadBytes) + " bytes";
  }
  if (ec == http::error::end_of_stream) return "the connection closed without an answer";
  if (ec == http::error::partial_message) return "the answer was cut short";
  if (ec.category() == beast::error_code(http::error::end_of_stream).category()) {
    return "the answer is not HTTP (" + ec.message() + ")";
  }
  return "reading the answer: " + ec.message();
}

}  // namespace

bool ParseHttpUrl(const std::string& url, HttpUrl* out, std::string* error) {
  *out = HttpUrl{};
  for (char c : url) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) {
      *error = "the URL has white space, control or non-ASCII characters (percent-encode them)";
      return false;
    }
  }
  const size_t sep = url.find("://");
  std::string scheme = sep == std::string::npos ? "" : url.substr(0, sep);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (scheme == "https") {
    *error = "https is not supported: put a TLS proxy on the station and give its http:// URL";
    return false;
  }
  if (scheme != "http") {
    *error = "not an http:// URL";
    return false;
  }
  std::string rest = url.substr(sep + 3);
  rest = rest.substr(0, rest.find('#'));
  const size_t authEnd = std::min(rest.find('/'), rest.find('?'));
  const std::string authority = rest.substr(0, authEnd);
  if (authEnd != std::string::npos) out->target = rest.substr(authEnd);
  if (out->target.empty() || out->target[0] != '/') out->target = "/" + out->target;
  if (authority.find('@') != std::string::npos) {
    *error = "credentials in the URL are not supported";
    return false;
  }
  std::string portText;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) {
      *error = "no ']' after the IPv6 address";
      return false;
    }
    out->host = authority.substr(1, close - 1);
    beast::error_code ec;
    net::ip::make_address_v6(out->host, ec);
    if (ec) {
      *error = "'" + out->host + "' is not an IPv6 address";
      return false;
    }
    const std::string after = authority.substr(close + 1);
    if (!after.empty() && after[0] != ':') {
      *error = "'" + after + "' after the IPv6 address";
      return false;
    }
    if (!after.empty()) portText = after.substr(1);
    if (after == ":") portText = "x";  // a ':' without a port
  } else {
    const size_t colon = authority.find(':');
    out->host = authority.substr(0, colon);
    if (colon != std::string::npos) {
      portText = authority.substr(colon + 1);
      if (portText.empty() || portText.find(':') != std::string::npos) {
        *error = portText.empty() ? "no port after ':'" : "an IPv6 address must be in brackets";
        return false;
      }
    }
    if (!std::all_of(out->host.begin(), out->host.end(), NameChar)) {
      *error = "'" + out->host + "' is not a host name or address";
      return false;
    }
  }
  if (out->host.empty()) {
    *error = "no host in the URL";
    return false;
  }
  if (!portText.empty()) {
    unsigned long port = 0;
    const bool digits =
        portText.size() <= 5 && std::all_of(portText.begin(), portText.end(),
                                            [](unsigned char c) { return std::isdigit(c) != 0; });
    if (digits) port = std::stoul(portText);
    if (!digits || port == 0 || port > 65535) {
      *error = "'" + portText + "' is not a port";
      return false;
    }
    out->port = static_cast<uint16_t>(port);
  }
  return true;
}

bool HttpPost(const std::string& url, const std::string& contentType, const std::string& body,
              uint32_t timeoutMs, const std::atomic<bool>* cancel, HttpClientResponse* out,
              std::string* error, const HttpClientLimits& limits) {
  *out = HttpClientResponse{};
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  HttpUrl u;
  if (!ParseHttpUrl(url, &u, error)) return false;
  std::vector<tcp::endpoint> endpoints;
  if (!Resolve(u, deadline, timeoutMs, cancel, &endpoints, error)) return false;

  std::string hostHeader = u.host.find(':') != std::string::npos ? "[" + u.host + "]" : u.host;
  if (u.port != 80) hostHeader += ":" + std::to_string(u.port);
  http::request<http::string_body> request{http::verb::post, u.target, 11};
  request.set(http::field::host, hostHeader);
  request.set(http::field::content_type, contentType);
  request.set(http::field::connection, "close");
  request.body() = body;
  request.prepare_payload();

  net::io_context ioc;
  tcp::socket socket(ioc);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.header_limit(static_cast<uint32_t>(limits.maxHeadBytes));
  parser.body_limit(limits.maxBodyBytes);
  bool done = false;
  std::string failure;  // set when done and the exchange failed
  net::async_connect(socket, endpoints, [&](beast::error_code ec, const tcp::endpoint&) {
    if (ec) {
      failure = ConnectError(ec);
      done = true;
      return;
    }
    http::async_write(socket, request, [&](beast::error_code wec, size_t) {
      if (wec) {
        failure = "the request could not be sent: " + wec.message();
        done = true;
        return;
      }
      // The head first: this Beast checks a Content-Length against the body limit
      // only when it parses the head on its own.
      http::async_read_header(socket, buffer, parser, [&](beast::error_code hec, size_t) {
        if (hec) {
          failure = ReadError(hec, limits);
          done = true;
          return;
        }
        http::async_read(socket, buffer, parser, [&](beast::error_code rec, size_t) {
          if (rec) failure = ReadError(rec, limits);
          done = true;
        });
      });
    });
  });
  std::string abandoned;
  while (!done) {
    if (cancel && cancel->load()) {
      abandoned = "cancelled";
      break;
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      abandoned = TimedOut(timeoutMs);
      break;
    }
    ioc.run_for(std::min<Clock::duration>(kStep, deadline - now));
    if (ioc.stopped() && !done) ioc.restart();
  }
  if (!abandoned.empty()) {
    // The pending operations end at once with "aborted"; their handlers must run
    // before what they refer to goes.
    beast::error_code ignored;
    socket.close(ignored);
    if (ioc.stopped()) ioc.restart();
    ioc.run();
    *error = abandoned;
    return false;
  }
  if (!failure.empty()) {
    *error = failure;
    return false;
  }
  const auto& response = parser.get();
  if (response.body().size() > limits.maxBodyBytes) {
    *error = ReadError(http::error::body_limit, limits);
    return false;
  }
  out->status = static_cast<int>(response.result_int());
  out->contentType = std::string(response[http::field::content_type]);
  out->body = response.body();
  return true;
}
