// The service's HTTP server over Boost.Beast and Boost.Asio (header-only, the same code
// on Linux and Windows). All network work runs on one thread with asynchronous
// operations; the handlers run on a small pool of their own threads, so a slow handler
// never holds up a read or a write, and a slow client never holds up a handler.
#include "platform/HttpServer.h"

#include <utility>  // before Asio: its coroutine support needs std::exchange

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <list>
#include <mutex>
#include <optional>
#include <thread>

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

std::string JsonError(const std::string& text, const char* code) {
  std::string out = "{\"error\":\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    out += c;
  }
  out += "\",\"code\":\"";
  out += code;
  out += "\"}";
  return out;
}

HttpResponse ErrorResponse(int status, const std::string& text, const char* code) {
  HttpResponse r;
  r.status = status;
  r.body = JsonError(text, code);
  return r;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Decode(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 &&
               HexDigit(s[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

class BeastServer;

// One connection, on the network thread only.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(BeastServer& server, tcp::socket socket);
  ~Session();
  void Begin();
  // The response the handler made (posted to the network thread).
  void Respond(HttpResponse response, bool keepAlive);
  void Close();
  void Refuse(int status, const std::string& text, const char* code);

 private:
  void ReadRequest();
  void OnRead(beast::error_code ec);
  void WriteThenClose(std::string bytes);
  void StartStream(HttpResponse response);
  void Pump();
  void ArmKeepAlive();
  void WatchClient();

  BeastServer& server_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
  bool closed_ = false;
  // Event stream
  std::shared_ptr<HttpEventFeed> feed_;
  std::string out_;
  bool writing_ = false;
  bool feedEnded_ = false;
  std::optional<net::steady_timer> keepAlive_;
  std::optional<net::steady_timer> writeTimer_;
  // The whole request's time (the stream's own expiry would close the socket before
  // the client could be told).
  net::steady_timer requestTimer_;
  bool timedOut_ = false;
  char discard_[256];
};

class BeastServer final : public HttpServer {
 public:
  ~BeastServer() override { Stop(); }

  bool Start(const std::string& address, uint16_t port, const HttpServerLimits& limits,
             Handler handler, std::string* error) override {
    if (started_) {
      *error = "the service is already listening";
      return false;
    }
    limits_ = limits;
    handler_ = std::move(handler);
    beast::error_code ec;
    const net::ip::address addr = net::ip::make_address(address, ec);
    if (ec) {
      *error = "'" + address + "' is not an IP address";
      return false;
    }
    acceptor_.emplace(ioc_);
    const tcp::endpoint endpoint(addr, port);
    acceptor_->open(endpoint.protocol(), ec);
    if (!ec) acceptor_->set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_->bind(endpoint, ec);
    if (!ec) acceptor_->listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
      *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message();
      acceptor_.reset();
      return false;
    }
    port_ = acceptor_->local_endpoint().port();
    started_ = true;
    Accept();
    for (size_t i = 0; i < std::max<size_t>(1, limits_.handlerThreads); i++) {
      handlers_.emplace_back([this] { HandlerLoop(); });
    }
    network_ = std::thread([this] { ioc_.run(); });
    return true;
  }

  uint16_t Port() const override { return port_; }

  void Stop() override {
    if (!started_ || stopped_) return;
    stopped_ = true;
    // Close the door and every connection on the network thread.
    std::promise<void> closed;
    net::post(ioc_, [this, &closed] {
      beast::error_code ec;
      if (acceptor_) acceptor_->close(ec);
      for (auto& weak : sessions_) {
        if (auto s = weak.lock()) s->Close();
      }
      closed.set_value();
    });
    closed.get_future().wait();
    {
      std::lock_guard<std::mutex> lock(m_);
      stopping_ = true;
      jobs_.clear();
    }
    wake_.notify_all();
    for (auto& t : handlers_) t.join();
    handlers_.clear();
    work_.reset();
    ioc_.stop();
    network_.join();
  }

  // ---- for the sessions (network thread) ----
  const HttpServerLimits& limits() const { return limits_; }
  net::io_context& ioc() { return ioc_; }
  void Track(const std::shared_ptr<Session>& s) {
    sessions_.remove_if([](const std::weak_ptr<Session>& w) { return w.expired(); });
    sessions_.push_back(s);
  }
  // Live sessions; a session may end on the thread that stops the server.
  std::atomic<size_t> open{0};

  // Hands a request to the handler threads; false when too many wait.
  bool Queue(std::shared_ptr<Session> session, HttpRequest request, bool keepAlive) {
    std::lock_guard<std::mutex> lock(m_);
    if (stopping_ || jobs_.size() >= limits_.maxQueuedRequests) return false;
    jobs_.push_back(Job{std::move(session), std::move(request), keepAlive});
    wake_.notify_one();
    return true;
  }

 private:
  struct Job {
    std::shared_ptr<Session> session;
    HttpRequest request;
    bool keepAlive;
  };

  void Accept() {
    acceptor_->async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec) {
        if (ec == net::error::operation_aborted || !acceptor_->is_open()) return;
        // Out of descriptors, for one: try again shortly instead of spinning.
        auto timer = std::make_shared<net::steady_timer>(ioc_, std::chrono::milliseconds(50));
        timer->async_wait([this, timer](beast::error_code) {
          if (acceptor_->is_open()) Accept();
        });
        return;
      }
      // Every write goes out at once: an event is a small write, and Nagle's wait for
      // the client's delayed ACK would hold it back by up to 40 ms.
      beast::error_code nodelay;
      socket.set_option(tcp::no_delay(true), nodelay);
      auto session = std::make_shared<Session>(*this, std::move(socket));
      Track(session);
      if (open > limits_.maxConnections) {
        session->Refuse(503, "too many connections", "busy");
      } else {
        session->Begin();
      }
      Accept();
    });
  }

  void HandlerLoop() {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(m_);
        wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      HttpResponse response;
      try {
        response = handler_(job.request);
      } catch (const std::exception& e) {
        response = ErrorResponse(500, std::string("internal error: ") + e.what(), "unavailable");
      } catch (...) {
        response = ErrorResponse(500, "internal error", "unavailable");
      }
      net::post(ioc_, [session = std::move(job.session), r = std::move(response),
                       keep = job.keepAlive]() mutable { session->Respond(std::move(r), keep); });
    }
  }

  net::io_context ioc_{1};
  net::executor_work_guard<net::io_context::executor_type> work_{ioc_.get_executor()};
  std::optional<tcp::acceptor> acceptor_;
  std::list<std::weak_ptr<Session>> sessions_;
  HttpServerLimits limits_;
  Handler handler_;
  uint16_t port_ = 0;
  bool started_ = false;
  bool stopped_ = false;
  std::thread network_;
  std::vector<std::thread> handlers_;
  std::mutex m_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
};

Session::Session(BeastServer& server, tcp::socket socket)
    : server_(server),
      stream_(std::move(socket)),
      buffer_(server.limits().maxHeadBytes + server.limits().maxBodyBytes),
      requestTimer_(server.ioc()) {
  server_.open++;
}

Session::~Session() {
  server_.open--;
  if (feed_) feed_->Closed();
}

void Session::Begin() { ReadRequest(); }

void Session::Close() {
  if (closed_) return;
  closed_ = true;
  requestTimer_.cancel();
  if (keepAlive_) keepAlive_->cancel();
  if (writeTimer_) writeTimer_->cancel();
  beast::error_code ec;
  stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
  stream_.socket().close(ec);
  if (feed_) {
    feed_->Closed();
    feed_.reset();
  }
}

void Session::ReadRequest() {
  if (closed_) return;
  parser_.emplace();
  parser_->header_limit(static_cast<uint32_t>(server_.limits().maxHeadBytes));
  parser_->body_limit(server_.limits().maxBodyBytes);
  stream_.expires_never();
  timedOut_ = false;
  requestTimer_.expires_after(std::chrono::milliseconds(server_.limits().requestTimeoutMs));
  requestTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (ec || self->closed_) return;
    self->timedOut_ = true;
    beast::error_code ignored;
    self->stream_.socket().cancel(ignored);
  });
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
}

void Session::OnRead(beast::error_code ec) {
  if (closed_) return;
  requestTimer_.cancel();
  if (ec) {
    const bool started = parser_->got_some() || buffer_.size() > 0;
    if (timedOut_ && !started) {
      Close();  // an idle kept-alive connection
    } else if (ec == http::error::end_of_stream || ec == net::error::eof ||
               ec == net::error::connection_reset) {
      Close();  // the client went
    } else if (timedOut_) {
      Refuse(408, "the request did not arrive in time", "timeout");
    } else if (ec == http::error::body_limit) {
      Refuse(413, "the request body is larger than " +
                      std::to_string(server_.limits().maxBodyBytes) + " bytes",
             "too_large");
    } else if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
      Refuse(431, "the request head is larger than " +
                      std::to_string(server_.limits().maxHeadBytes) + " bytes",
             "too_large");
    } else if (ec == net::error::operation_aborted) {
      Close();
    } else {
      Refuse(400, "malformed request: " + ec.message(), "bad_request");
    }
    return;
  }
  const auto& msg = parser_->get();
  HttpRequest request;
  request.method = std::string(msg.method_string());
  const std::string_view target(msg.target().data(), msg.target().size());
  const size_t q = target.find('?');
  request.path = std::string(target.substr(0, q));
  if (q != std::string_view::npos) request.query = std::string(target.substr(q + 1));
  for (const auto& field : msg) {
    std::string name(field.name_string());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    request.headers.emplace_back(std::move(name), std::string(field.value()));
  }
  request.body = msg.body();
  beast::error_code pec;
  const auto peer = stream_.socket().remote_endpoint(pec);
  if (!pec) request.peer = peer.address().to_string();
  const bool keepAlive = msg.keep_alive();
  stream_.expires_never();
  if (!server_.Queue(shared_from_this(), std::move(request), keepAlive)) {
    Refuse(503, "the station is busy; try again", "busy");
  }
}

void Session::Respond(HttpResponse response, bool keepAlive) {
  if (closed_) {
    if (response.feed) response.feed->Closed();  // its client went while it was made
    return;
  }
  if (response.feed) {
    StartStream(std::move(response));
    return;
  }
  response_ = {};
  response_.version(11);
  response_.result(static_cast<unsigned>(response.status));
  response_.set(http::field::content_type, response.contentType);
  response_.set(http::field::cache_control, "no-store");
  for (const auto& [name, value] : response.headers) response_.set(name, value);
  response_.keep_alive(keepAlive);
  response_.body() = std::move(response.body);
  response_.prepare_payload();
  stream_.expires_after(std::chrono::milliseconds(server_.limits().writeTimeoutMs));
  http::async_write(stream_, response_,
                    [self = shared_from_this(), keepAlive](beast::error_code ec, size_t) {
                      if (ec || !keepAlive) {
                        self->Close();
                        return;
                      }
                      self->ReadRequest();
                    });
}

void Session::Refuse(int status, const std::string& text, const char* code) {
  const std::string body = JsonError(text, code);
  std::string bytes = "HTTP/1.1 " + std::to_string(status) + " " + HttpReason(status) +
                      "\r\nContent-Type: application/json\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  WriteThenClose(std::move(bytes));
}

void Session::WriteThenClose(std::string bytes) {
  if (closed_) return;
  auto data = std::make_shared<std::string>(std::move(bytes));
  stream_.expires_after(std::chrono::milliseconds(std::min(server_.limits().writeTimeoutMs, 2000)));
  net::async_write(stream_, net::buffer(*data),
                   [self = shared_from_this(), data](beast::error_code, size_t) { self->Close(); });
}

void Session::StartStream(HttpResponse response) {
  feed_ = std::move(response.feed);
  stream_.expires_never();
  // A small send buffer: a client that stops reading stalls the stream's writes soon
  // (and is closed by the write time-out, its feed dropped when it fills) instead of
  // letting megabytes wait in the kernel.
  beast::error_code bufferEc;
  stream_.socket().set_option(net::socket_base::send_buffer_size(64 * 1024), bufferEc);
  out_ = "HTTP/1.1 " + std::to_string(response.status) + " " + HttpReason(response.status) +
         "\r\nContent-Type: " + response.contentType +
         "\r\nCache-Control: no-store\r\nX-Accel-Buffering: no\r\nConnection: close\r\n";
  for (const auto& [name, value] : response.headers) out_ += name + ": " + value + "\r\n";
  out_ += "\r\n" + response.body;
  keepAlive_.emplace(server_.ioc());
  writeTimer_.emplace(server_.ioc());
  std::weak_ptr<Session> weak = shared_from_this();
  net::io_context& ioc = server_.ioc();
  feed_->SetWaker([weak, &ioc] {
    net::post(ioc, [weak] {
      if (auto s = weak.lock()) s->Pump();
    });
  });
  WatchClient();
  Pump();
}

// Reads (and drops) whatever the client sends on a stream: its end is the end of the
// stream.
void Session::WatchClient() {
  stream_.socket().async_read_some(
      net::buffer(discard_), [self = shared_from_this()](beast::error_code ec, size_t) {
        if (ec) {
          self->Close();
          return;
        }
        if (!self->closed_) self->WatchClient();
      });
}

void Session::Pump() {
  if (closed_ || writing_) return;
  if (feed_ && !feedEnded_) {
    if (!feed_->Take(&out_, 256 * 1024)) feedEnded_ = true;
  }
  if (out_.empty()) {
    if (feedEnded_) {
      Close();
      return;
    }
    ArmKeepAlive();
    return;
  }
  writing_ = true;
  keepAlive_->cancel();
  auto data = std::make_shared<std::string>(std::move(out_));
  out_.clear();
  writeTimer_->expires_after(std::chrono::milliseconds(server_.limits().writeTimeoutMs));
  writeTimer_->async_wait([self = shared_from_this()](beast::error_code ec) {
    if (!ec) self->Close();  // the client does not take the stream
  });
  net::async_write(stream_.socket(), net::buffer(*data),
                   [self = shared_from_this(), data](beast::error_code ec, size_t) {
                     self->writing_ = false;
                     if (self->writeTimer_) self->writeTimer_->cancel();
                     if (ec) {
                       self->Close();
                       return;
                     }
                     self->Pump();
                   });
}

void Session::ArmKeepAlive() {
  keepAlive_->expires_after(std::chrono::milliseconds(server_.limits().keepAliveMs));
  keepAlive_->async_wait([self = shared_from_this()](beast::error_code ec) {
    if (ec || self->closed_ || self->writing_) return;
    self->out_ += ": keep-alive\n\n";
    self->Pump();
  });
}

}  // namespace

std::string HttpRequest::Header(const std::string& lowerName) const {
  for (const auto& [name, value] : headers) {
    if (name == lowerName) return value;
  }
  return "";
}

bool HttpRequest::QueryValue(const std::string& name, std::string* value) const {
  std::string_view q(query);
  while (!q.empty()) {
    const size_t amp = q.find('&');
    const std::string_view part = q.substr(0, amp);
    const size_t eq = part.find('=');
    if (Decode(part.substr(0, eq)) == name) {
      *value = eq == std::string_view::npos ? "" : Decode(part.substr(eq + 1));
      return true;
    }
    if (amp == std::string_view::npos) break;
    q.remove_prefix(amp + 1);
  }
  return false;
}

std::unique_ptr<HttpServer> NewHttpServer() { return std::make_unique<BeastServer>(); }

const char* HttpReason(int status) {
  switch (status) {
    case 200: return "OK";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 422: return "Unprocessable Content";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Unknown";
  }
}
