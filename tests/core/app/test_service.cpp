// The station's service over real sockets on 127.0.0.1: the HTTP server's bounds, and
// the API's rights, checks, commands and events against a station of fakes.
#include <gtest/gtest.h>

#include <utility>  // before Asio

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "app/Headless.h"
#include "app/MainLogic.h"
#include "app/Service.h"
#include "core/app/AppTestRig.h"
#include "platform/HttpServer.h"

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

// A raw client: sends bytes, reads what comes until the station closes or `until` appears.
class Client {
 public:
  explicit Client(uint16_t port) : socket_(ioc_) {
    socket_.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  }
  void Send(const std::string& bytes) { net::write(socket_, net::buffer(bytes)); }
  // Reads until `until` is in what came (or the connection ends, or timeoutMs passes).
  std::string ReadUntil(const std::string& until, int timeoutMs = 5000) {
    socket_.non_blocking(true);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end &&
           (until.empty() || got_.find(until) == std::string::npos)) {
      char buf[4096];
      boost::system::error_code ec;
      const size_t n = socket_.read_some(net::buffer(buf), ec);
      if (ec == net::error::would_block) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      if (ec) {
        closed_ = true;
        break;
      }
      got_.append(buf, n);
    }
    return got_;
  }
  bool closed() const { return closed_; }

 private:
  net::io_context ioc_;
  tcp::socket socket_;
  std::string got_;
  bool closed_ = false;
};

std::string Request(const std::string& method, const std::string& path, const std::string& token,
                    const std::string& body = "") {
  std::string r = method + " " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
  if (!token.empty()) r += "Authorization: Bearer " + token + "\r\n";
  if (!body.empty() || method != "GET") r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return r + "\r\n" + body;
}

class SlowFeed final : public HttpEventFeed {
 public:
  bool Take(std::string* out, size_t maxBytes) override {
    out->append(std::min<size_t>(maxBytes, 64 * 1024), 'x');
    return true;
  }
  void SetWaker(std::function<void()>) override {}
  void Closed() override { closed = true; }
  std::atomic<bool> closed{false};
};

TEST(HttpServer, EveryRequestIsBoundedAndAClientThatBreaksABoundIsToldAndClosed) {
  HttpServerLimits limits;
  limits.maxHeadBytes = 1024;
  limits.maxBodyBytes = 100;
  limits.maxConnections = 3;
  limits.requestTimeoutMs = 300;
  limits.writeTimeoutMs = 300;
  auto feed = std::make_shared<SlowFeed>();
  auto server = NewHttpServer();
  std::string error;
  ASSERT_TRUE(server->Start("127.0.0.1", 0, limits, [&](const HttpRequest& r) {
    HttpResponse response;
    if (r.path == "/stream") response.feed = feed;
    response.body = "{\"path\":\"" + r.path + "\"}";
    return response;
  }, &error)) << error;
  const uint16_t port = server->Port();
  auto status = [&](const std::string& bytes) {
    Client c(port);
    c.Send(bytes);
    const std::string got = c.ReadUntil("");
    return got.substr(0, got.find("\r\n"));
  };
  EXPECT_EQ(status("GET /a?x=1 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"), "HTTP/1.1 200 OK");
  EXPECT_EQ(status("GET / HTTP/1.1\r\nX: " + std::string(2000, 'a') + "\r\n\r\n"),
            "HTTP/1.1 431 Request Header Fields Too Large");
  EXPECT_EQ(status("PUT / HTTP/1.1\r\nContent-Length: 200\r\n\r\n" + std::string(200, '{')),
            "HTTP/1.1 413 Content Too Large");
  EXPECT_EQ(status(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\r\n\r\n", 13)),
            "HTTP/1.1 400 Bad Request");
  // Half a request, then nothing: told within the request time.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(status("GET / HTTP/1.1\r\nHost"), "HTTP/1.1 408 Request Timeout");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  {
    // Three idle connections fill the server: a fourth is refused at once.
    Client a(port), b(port), c(port);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(status("GET / HTTP/1.1\r\n\r\n"), "HTTP/1.1 503 Service Unavailable");
  }
  // Once the idle ones are gone, there is room again.
  EXPECT_TRUE(WaitFor([&] {
    return status("GET / HTTP/1.1\r\nConnection: close\r\n\r\n") == "HTTP/1.1 200 OK";
  }));
  {
    // A stream whose client never reads is closed once a write stalls.
    Client s(port);
    s.Send("GET /stream HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(WaitFor([&] { return feed->closed.load(); }, 10000));
  }
  server->Stop();
}

// A station of fakes with its service on a free port, token files in its data directory;
// the test's main thread is its UI thread.
struct ServedStation {
  TempDir dir;
  QueueUiThread ui;
  FakeClock clock;
  FakeSerialBus bus;
  FakeNetwork net{&clock};
  RecordingBoard view;
  RecordingBoxes boxes;
  std::unique_ptr<StationService> service;
  std::unique_ptr<MainLogic> logic;
  const std::string readToken = "read-token-0123456789";
  const std::string controlToken = "control-token-0123456789";

  ServedStation() {
    dir.Write("storedMAC.txt", kOneAddressPool);
    dir.Write("read.token", readToken + "\n");
    dir.Write("control.token", controlToken + "\n");
    std::filesystem::permissions(dir.path() + "/read.token", std::filesystem::perms::owner_read |
                                                               std::filesystem::perms::owner_write);
    std::filesystem::permissions(dir.path() + "/control.token",
                                 std::filesystem::perms::owner_read);
    clock.SetRealYieldUs(50);
    bus.Line(FallbackPath(1));
    net.SetAddresses({Ip(192, 168, 1, 10)});
    PlatformServices services;
    services.ui = &ui;
    services.clock = &clock;
    services.serial = &bus;
    services.net = &net;
    service = std::make_unique<StationService>(view, boxes, ui);
    logic = std::make_unique<MainLogic>(services, *service, service->Boxes(), dir.path());
    service->Attach(*logic, dir.path());
  }
  ~ServedStation() {
    service->Stop();
    logic->FormClose();
  }
  ServiceConfig Config() const {
    ServiceConfig c;
    c.enabled = true;
    c.readTokenFile = dir.path() + "/read.token";
    c.controlTokenFile = dir.path() + "/control.token";
    return c;
  }
  uint16_t Port() const { return static_cast<uint16_t>(std::stoi(service->Url().substr(17))); }
  // Runs the client on a thread of its own while this thread serves as the UI thread.
  void Serve(const std::function<void()>& client) {
    std::atomic<bool> done{false};
    std::thread t([&] {
      client();
      done = true;
    });
    while (!done) ui.RunPending(5);
    t.join();
  }
};

std::string StatusLine(const std::string& response) { return response.substr(0, response.find("\r\n")); }
std::string Body(const std::string& response) {
  const size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? "" : response.substr(at + 4);
}

TEST(StationService, TokensRightsChecksAndARunFollowedLive) {
  ServedStation st;
  std::string error;
  {
    // A token file others may read is refused (the access lists of Windows are not
    // checked), and so is another address without tokens.
#ifndef _WIN32
    ServiceConfig loose = st.Config();
    std::filesystem::permissions(loose.readTokenFile, std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::add);
    EXPECT_FALSE(st.service->Start(loose, &error));
    EXPECT_NE(error.find("other users may read it"), std::string::npos) << error;
    std::filesystem::permissions(loose.readTokenFile, std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::remove);
#endif
    ServiceConfig open;
    open.enabled = true;
    open.address = "0.0.0.0";
    EXPECT_FALSE(st.service->Start(open, &error));
  }
  ASSERT_TRUE(st.service->Start(st.Config(), &error)) << error;
  const uint16_t port = st.Port();
  auto ask = [&](const std::string& method, const std::string& path, const std::string& token,
                 const std::string& body = "") {
    Client c(port);
    c.Send(Request(method, path, token, body));
    return c.ReadUntil("");
  };
  std::string events;
  st.Serve([&] {
    EXPECT_EQ(StatusLine(ask("GET", "/api/v1/state", "")), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(StatusLine(ask("GET", "/api/v1/state", st.readToken + "x")), "HTTP/1.1 401 Unauthorized");
    EXPECT_NE(ask("GET", "/api/v1/state", st.readToken).find("\"api\":1"), std::string::npos);
    EXPECT_EQ(StatusLine(ask("POST", "/api/v1/start", st.readToken)), "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(StatusLine(ask("PUT", "/api/v1/job", st.readToken, "{}")), "HTTP/1.1 403 Forbidden");
    // Start before any job: refused with the window's own text, no box at the station.
    const std::string refused = ask("POST", "/api/v1/start", st.controlToken);
    EXPECT_EQ(StatusLine(refused), "HTTP/1.1 409 Conflict");
    EXPECT_NE(Body(refused).find("Please Select Files first."), std::string::npos) << refused;
    for (const char* bad : {"{\"bogus\":1}", "{\"loopback\":\"yes\"}", "[[[[[[[[1]]]]]]]]", "{",
                            "{\"assignMac\":\"0G:00:00\"}", "{\"baud\":9600}"}) {
      EXPECT_EQ(StatusLine(ask("PUT", "/api/v1/job", st.controlToken, bad)),
                "HTTP/1.1 400 Bad Request")
          << bad;
    }
    const std::string job = ask("PUT", "/api/v1/job", st.controlToken,
                                R"({"eeprom":false,"firmware":false,"loopback":false,"programMac":true})");
    EXPECT_EQ(StatusLine(job), "HTTP/1.1 200 OK") << job;
    EXPECT_NE(Body(job).find("\"set\":true"), std::string::npos) << job;

    // Follow the run: the state first, then every board call, one result per unit.
    Client stream(port);
    stream.Send(Request("GET", "/api/v1/events", st.readToken));
    stream.ReadUntil("event: state");
    EXPECT_EQ(StatusLine(ask("POST", "/api/v1/start", st.controlToken)), "HTTP/1.1 202 Accepted");
    EXPECT_EQ(StatusLine(ask("PUT", "/api/v1/job", st.controlToken, "{}")), "HTTP/1.1 409 Conflict");
    events = stream.ReadUntil("event: end", 60000);
  });
  EXPECT_TRUE(st.boxes.Texts().empty());
  const size_t state = events.find("event: state");
  const size_t run = events.find("event: run\nid: ");
  const size_t unit = events.find("event: unit");
  const size_t end = events.find("event: end");
  ASSERT_NE(unit, std::string::npos) << events;
  EXPECT_LT(state, run);
  EXPECT_LT(run, unit);
  EXPECT_LT(unit, end);
  EXPECT_NE(events.find("\"text\":\"COM1: program MAC\""), std::string::npos);
  const std::string result = events.substr(unit, events.find('\n', events.find("data:", unit)) - unit);
  EXPECT_NE(result.find("\"verdict\":\"failed\""), std::string::npos) << result;
  EXPECT_NE(result.find("\"failure\":{\"code\":-3,\"step\":\"mac\""), std::string::npos) << result;
  // The steps' times come with a record (a build without the embedded store has none).
  if (st.logic->records()) {
    EXPECT_NE(result.find("\"steps\":[{\"ms\":"), std::string::npos) << result;
  }
  EXPECT_EQ(st.logic->stages.Get(0), StageFailed);

  // A station that keeps no records still tells every unit's result, from the board.
  st.logic->SetRecords(nullptr, "");
  st.Serve([&] {
    EXPECT_EQ(StatusLine(ask("PUT", "/api/v1/job", st.controlToken,
                             R"({"loopback":true,"programMac":false})")),
              "HTTP/1.1 200 OK");
    Client stream(port);
    stream.Send(Request("GET", "/api/v1/events", st.readToken));
    stream.ReadUntil("event: state");
    EXPECT_EQ(StatusLine(ask("POST", "/api/v1/start", st.controlToken)), "HTTP/1.1 202 Accepted");
    events = stream.ReadUntil("event: end", 60000);
  });
  const size_t second = events.find("event: unit");
  ASSERT_NE(second, std::string::npos) << events;
  const std::string board = events.substr(second, events.find('\n', events.find("data:", second)) - second);
  EXPECT_NE(board.find("\"verdict\":\"failed\""), std::string::npos) << board;
  EXPECT_NE(board.find("\"step\":\"loopback\""), std::string::npos) << board;
}

}  // namespace
