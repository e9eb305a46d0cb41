#include "factorydb/PgLink.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

// libpq's own connection time-out, in whole seconds (it treats less than 2 as 2).
constexpr const char* kConnectTimeoutSeconds = "2";

std::string OneLine(const char* text) {
  std::string s = text ? text : "";
  for (char& c : s) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

bool Contains(const std::string& s, const char* part) {
  return s.find(part) != std::string::npos;
}

// The error number for a failed connection attempt, from libpq's text.
int ConnectFailureCode(const std::string& text) {
  if (Contains(text, "timeout expired")) return ETIMEDOUT;
  if (Contains(text, "No such file or directory") || Contains(text, "does not exist")) {
    return ENOENT;
  }
  if (Contains(text, "authentication") || Contains(text, "password") ||
      Contains(text, "permission denied") || Contains(text, "no pg_hba.conf entry")) {
    return EACCES;
  }
  return ECONNREFUSED;
}

int MsLeft(PgLink::Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

}  // namespace

PgLink::PgLink(std::string conninfo, std::string applicationName, int statementTimeoutMs)
    : conninfo_(std::move(conninfo)),
      applicationName_(std::move(applicationName)),
      statementTimeoutMs_(statementTimeoutMs) {}

PgLink::~PgLink() {
  Disconnect();
}

void PgLink::Disconnect() {
  if (conn_) PQfinish(conn_);
  conn_ = nullptr;
}

int PgLink::Fail(int code, const std::string& text) {
  error_ = Redact(text, conninfo_);
  return code;
}

std::string PgLink::Redact(const std::string& text, const std::string& conninfo) {
  std::string out = text;
  auto replaceAll = [&out](const std::string& what) {
    if (what.size() < 3) return;
    for (size_t at = out.find(what); at != std::string::npos; at = out.find(what, at + 3)) {
      out.replace(at, what.size(), "***");
    }
  };
  // Whatever follows a password in the connection string, word by word, and the
  // password of a URI.
  const size_t pw = conninfo.find("password");
  if (pw != std::string::npos) {
    size_t i = conninfo.find_first_of("=", pw);
    while (i != std::string::npos && i < conninfo.size()) {
      const size_t b = conninfo.find_first_not_of(" \t=&'", i);
      if (b == std::string::npos) break;
      const size_t e = conninfo.find_first_of(" \t&'", b);
      replaceAll(conninfo.substr(b, e == std::string::npos ? std::string::npos : e - b));
      i = e;
    }
  }
  const size_t scheme = conninfo.find("://");
  if (scheme != std::string::npos) {
    const size_t at = conninfo.find('@', scheme);
    const size_t colon = conninfo.find(':', scheme + 3);
    if (at != std::string::npos && colon != std::string::npos && colon < at) {
      replaceAll(conninfo.substr(colon + 1, at - colon - 1));
    }
  }
  // "password=value" and "user:value@" in the text itself.
  for (size_t k = out.find("password"); k != std::string::npos; k = out.find("password", k + 8)) {
    size_t v = k + 8;
    while (v < out.size() && out[v] == ' ') v++;
    if (v >= out.size() || out[v] != '=') continue;  // "password authentication ..." stays
    v++;
    while (v < out.size() && out[v] == ' ') v++;
    if (v >= out.size()) continue;
    size_t e = v;
    if (out[v] == '\'') {
      e = out.find('\'', v + 1);
      e = e == std::string::npos ? out.size() : e + 1;
    } else {
      while (e < out.size() && out[e] != ' ' && out[e] != '&' && out[e] != '"') e++;
    }
    out.replace(v, e - v, "***");
  }
  for (size_t k = out.find("://"); k != std::string::npos; k = out.find("://", k + 3)) {
    const size_t at = out.find('@', k);
    const size_t colon = out.find(':', k + 3);
    const size_t end = out.find_first_of(" \"", k);
    if (at != std::string::npos && colon < at && (end == std::string::npos || at < end)) {
      out.replace(colon + 1, at - colon - 1, "***");
    }
  }
  return out;
}

bool PgLink::CheckConninfo(const std::string& conninfo, std::string* error) {
  char* err = nullptr;
  PQconninfoOption* opts = PQconninfoParse(conninfo.c_str(), &err);
  if (!opts) {
    if (error) *error = Redact(err ? OneLine(err) : "cannot read the connection string", conninfo);
    PQfreemem(err);
    return false;
  }
  PQconninfoFree(opts);
  return true;
}

bool PgLink::IsLinkFailure(int code) {
  return code == ENOENT || code == ECONNREFUSED || code == EACCES || code == ETIMEDOUT ||
         code == ECONNRESET || code == ENOMEM;
}

std::string PgLink::Describe() const {
  PQconninfoOption* opts = PQconninfoParse(conninfo_.c_str(), nullptr);
  if (!opts) return "an unreadable connection string";
  std::map<std::string, std::string> v;
  for (PQconninfoOption* o = opts; o->keyword; ++o) {
    if (o->val && *o->val) v[o->keyword] = o->val;
  }
  PQconninfoFree(opts);
  std::string where = v.count("host") ? v["host"] : v.count("hostaddr") ? v["hostaddr"] : "";
  if (where.empty()) where = "the default socket";
  if (v.count("port")) where += " port " + v["port"];
  std::string text = "database " + (v.count("dbname") ? v["dbname"] : std::string("(default)"));
  text += " on " + where;
  if (v.count("user")) text += " as " + v["user"];
  return text;
}

int PgLink::WaitSocket(bool forWrite, Deadline deadline) {
  const int fd = PQsocket(conn_);
  if (fd < 0) return ECONNRESET;
  pollfd p{};
  p.fd = fd;
  p.events = static_cast<short>(forWrite ? (POLLOUT | POLLIN) : POLLIN);
  for (;;) {
    const int left = MsLeft(deadline);
    if (left <= 0) return ETIMEDOUT;
    const int n = poll(&p, 1, left);
    if (n > 0) return 0;
    if (n == 0) return ETIMEDOUT;
    if (errno != EINTR) return errno;
  }
}

int PgLink::Connect(Deadline deadline) {
  if (conn_) return 0;
  char* err = nullptr;
  PQconninfoOption* opts = PQconninfoParse(conninfo_.c_str(), &err);
  if (!opts) {
    const std::string text = err ? OneLine(err) : "cannot read the connection string";
    PQfreemem(err);
    return Fail(EINVAL, text);
  }
  // The caller's keywords, with ours added: time-outs, durable commits, a name.
  std::vector<std::string> keys, values;
  std::string options;
  bool haveApp = false;
  for (PQconninfoOption* o = opts; o->keyword; ++o) {
    if (!o->val || !*o->val) continue;
    const std::string key = o->keyword;
    if (key == "connect_timeout") continue;
    if (key == "options") {
      options = o->val;
      continue;
    }
    haveApp = haveApp || key == "application_name";
    keys.push_back(key);
    values.push_back(o->val);
  }
  PQconninfoFree(opts);
  keys.push_back("connect_timeout");
  values.push_back(kConnectTimeoutSeconds);
  // Every address handed out must be on disk before the device is programmed.
  options += " -c synchronous_commit=on -c client_min_messages=warning -c statement_timeout=" +
             std::to_string(statementTimeoutMs_) +
             " -c lock_timeout=" + std::to_string(statementTimeoutMs_) +
             " -c idle_in_transaction_session_timeout=" + std::to_string(4 * statementTimeoutMs_);
  keys.push_back("options");
  values.push_back(options);
  if (!haveApp) {
    keys.push_back("application_name");
    values.push_back(applicationName_);
  }
  std::vector<const char*> k, v;
  for (size_t i = 0; i < keys.size(); ++i) {
    k.push_back(keys[i].c_str());
    v.push_back(values[i].c_str());
  }
  k.push_back(nullptr);
  v.push_back(nullptr);

  conn_ = PQconnectStartParams(k.data(), v.data(), 0);
  if (!conn_) return Fail(ENOMEM, "out of memory");
  if (PQstatus(conn_) == CONNECTION_BAD) {
    const std::string text = OneLine(PQerrorMessage(conn_));
    Disconnect();
    return Fail(ConnectFailureCode(text), text);
  }
  for (;;) {
    const PostgresPollingStatusType st = PQconnectPoll(conn_);
    if (st == PGRES_POLLING_OK) break;
    if (st == PGRES_POLLING_FAILED) {
      const std::string text = OneLine(PQerrorMessage(conn_));
      Disconnect();
      return Fail(ConnectFailureCode(text), text);
    }
    const int w = WaitSocket(st == PGRES_POLLING_WRITING, deadline);
    if (w != 0) {
      Disconnect();
      return Fail(w, w == ETIMEDOUT ? "no answer from the database in time" : std::strerror(w));
    }
  }
  PQsetNoticeProcessor(
      conn_,
      [](void* self, const char* message) {
        auto* link = static_cast<PgLink*>(self);
        if (link->noticeSink_) link->noticeSink_(Redact(OneLine(message), link->conninfo_));
      },
      this);
  if (PQsetnonblocking(conn_, 1) != 0) {
    const std::string text = OneLine(PQerrorMessage(conn_));
    Disconnect();
    return Fail(ECONNRESET, text);
  }
  error_.clear();
  return 0;
}

int PgLink::Exec(const std::string& sql, const std::vector<std::string>& params, PgRows* rows,
                 Deadline deadline, const std::vector<bool>* nulls) {
  return Run(true, sql, params, nulls, rows, deadline);
}

int PgLink::ExecScript(const std::string& sql, Deadline deadline) {
  return Run(false, sql, {}, nullptr, nullptr, deadline);
}

int PgLink::Run(bool withParams, const std::string& sql, const std::vector<std::string>& params,
                const std::vector<bool>* nulls, PgRows* rows, Deadline deadline) {
  sqlState_.clear();
  if (rows) *rows = PgRows{};
  if (!conn_) return Fail(ECONNRESET, "not connected to the database");
  std::vector<const char*> values;
  for (size_t i = 0; i < params.size(); ++i) {
    const bool isNull = nulls && i < nulls->size() && (*nulls)[i];
    values.push_back(isNull ? nullptr : params[i].c_str());
  }
  const int sent = withParams
                       ? PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()),
                                           nullptr, values.data(), nullptr, nullptr, 0)
                       : PQsendQuery(conn_, sql.c_str());
  if (!sent) {
    const std::string text = OneLine(PQerrorMessage(conn_));
    Disconnect();
    return Fail(ECONNRESET, text);
  }
  // The whole statement leaves, then every result comes back, within the deadline.
  // On a time-out the statement's fate is unknown: the connection is dropped.
  auto lost = [&](int code, const std::string& text) {
    Disconnect();
    return Fail(code, text);
  };
  for (;;) {
    const int f = PQflush(conn_);
    if (f == 0) break;
    if (f < 0) return lost(ECONNRESET, OneLine(PQerrorMessage(conn_)));
    const int w = WaitSocket(true, deadline);
    if (w != 0) return lost(w, "no answer from the database in time");
    if (!PQconsumeInput(conn_)) return lost(ECONNRESET, OneLine(PQerrorMessage(conn_)));
  }
  int result = 0;
  std::string failure;
  for (;;) {
    while (PQisBusy(conn_)) {
      const int w = WaitSocket(false, deadline);
      if (w != 0) return lost(w, "no answer from the database in time");
      if (!PQconsumeInput(conn_)) return lost(ECONNRESET, OneLine(PQerrorMessage(conn_)));
    }
    PGresult* r = PQgetResult(conn_);
    if (!r) break;
    const ExecStatusType st = PQresultStatus(r);
    if (st == PGRES_TUPLES_OK && rows) {
      const int n = PQntuples(r), m = PQnfields(r);
      for (int i = 0; i < n; ++i) {
        std::vector<std::string> row;
        for (int j = 0; j < m; ++j) row.emplace_back(PQgetvalue(r, i, j));
        rows->rows.push_back(std::move(row));
      }
    }
    if (st == PGRES_COMMAND_OK && rows) {
      const char* t = PQcmdTuples(r);
      rows->affected = (t && *t) ? std::atol(t) : 0;
    }
    if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK && st != PGRES_EMPTY_QUERY && result == 0) {
      const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
      sqlState_ = state ? state : "";
      failure = OneLine(PQresultErrorMessage(r));
      if (failure.empty()) failure = OneLine(PQerrorMessage(conn_));
      if (sqlState_ == "57014" || sqlState_ == "55P03") {
        result = ETIMEDOUT;  // statement or lock time-out
      } else if (sqlState_ == "23505") {
        result = EEXIST;
      } else if (sqlState_.rfind("08", 0) == 0 || sqlState_.rfind("57P", 0) == 0 ||
                 sqlState_.empty()) {
        result = ECONNRESET;  // the server went away or is shutting down
      } else {
        result = EIO;
      }
    }
    PQclear(r);
  }
  if (PQstatus(conn_) == CONNECTION_BAD) {
    return lost(ECONNRESET, failure.empty() ? OneLine(PQerrorMessage(conn_)) : failure);
  }
  if (result != 0) return Fail(result, failure);
  error_.clear();
  return 0;
}
