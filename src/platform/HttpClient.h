#pragma once
// A small blocking HTTP/1.1 client for the station's calls to the factory's systems:
// one request, one answer, then the connection is closed. Plain http:// only (a
// factory that wants TLS puts a TLS proxy on the station). Every part is bounded: the
// whole exchange (name lookup, connection, request, answer) by one time-out, the
// answer's head and body by their sizes, and a cancel flag is looked at at least every
// 100 ms, so a station that stops never waits on a server that does not answer.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

struct HttpUrl {
  std::string host;    // a name, an IPv4 address or an IPv6 address (without brackets)
  uint16_t port = 80;  //
  std::string target;  // "/path?query" ("/" when the URL has none)
};

// Splits "http://host[:port][/path][?query]" (a '#' and what follows is dropped; IPv6
// addresses in brackets). False with *error set for anything else: another scheme
// (https among them), credentials in the URL, a bad port, white space or control
// characters.
bool ParseHttpUrl(const std::string& url, HttpUrl* out, std::string* error);

struct HttpClientResponse {
  int status = 0;
  std::string contentType;
  std::string body;
};

struct HttpClientLimits {
  size_t maxHeadBytes = 8 * 1024;
  size_t maxBodyBytes = 64 * 1024;
};

// POSTs body (with that Content-Type) to url and reads the answer, whatever its
// status. At most timeoutMs for all of it; cancel (may be null) set ends the wait
// within 100 ms. True with *out filled when an answer came; otherwise false with
// *error a short line ("connection refused", "timed out after 5000 ms", "cancelled",
// "the answer's body is longer than 65536 bytes" ...).
//
// A name lookup that hangs is left to end on its own thread (the system's resolver
// ends it within its own time-outs) and joined later; a few such lookups at once and
// further calls naming a host fail at once rather than pile up threads.
bool HttpPost(const std::string& url, const std::string& contentType, const std::string& body,
              uint32_t timeoutMs, const std::atomic<bool>* cancel, HttpClientResponse* out,
              std::string* error, const HttpClientLimits& limits = HttpClientLimits());
