#pragma once
// One connection to the factory's PostgreSQL database, every call bounded in time.
// Connecting and each statement must end within the caller's deadline: the client
// gives up at the deadline (the connection is then dropped, since the statement's
// fate is unknown), the server ends a statement after statement_timeout, and
// connect_timeout bounds libpq's own connection attempt. A call on a dropped
// connection fails at once; Connect() makes a new one.
//
// Results are error numbers, as everywhere in the station: 0 success, ENOENT no such
// server socket or database, ECONNREFUSED refused, EACCES authentication failed,
// ETIMEDOUT a time-out (ours or the server's), ECONNRESET the connection was lost,
// EEXIST a uniqueness constraint, EIO any other database error. Error() has the text.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct pg_conn;

struct PgRows {
  std::vector<std::vector<std::string>> rows;  // NULL reads as ""
  long affected = 0;                           // rows changed by INSERT/UPDATE/DELETE
};

class PgLink {
 public:
  using Deadline = std::chrono::steady_clock::time_point;
  static Deadline In(int ms) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  }

  // conninfo: a libpq connection string ("host=/run/pg dbname=factory user=station1
  // password=..."). statementTimeoutMs goes to the server with every connection.
  PgLink(std::string conninfo, std::string applicationName, int statementTimeoutMs);
  ~PgLink();
  PgLink(const PgLink&) = delete;
  PgLink& operator=(const PgLink&) = delete;

  // Where the server's notices ("WARNING: ...") go, one line each, passwords taken
  // out; without a sink they are dropped (never printed raw by libpq).
  void SetNoticeSink(std::function<void(const std::string&)> sink) { noticeSink_ = std::move(sink); }

  // 0 when connected (or already), else an error number.
  int Connect(Deadline deadline);
  void Disconnect();
  bool Connected() const { return conn_ != nullptr; }

  // One statement with text parameters ($1, $2, ...), its own transaction unless one
  // is open: 0 or an error number.
  // nulls (when given): which parameters are SQL NULL.
  int Exec(const std::string& sql, const std::vector<std::string>& params, PgRows* rows,
           Deadline deadline, const std::vector<bool>* nulls = nullptr);
  // Several statements without parameters, in one round trip.
  int ExecScript(const std::string& sql, Deadline deadline);

  // The text of the last failure (never the password).
  const std::string& Error() const { return error_; }
  // The SQLSTATE of the last failed statement ("" when none came back).
  const std::string& SqlState() const { return sqlState_; }
  // Where the database is, for the operator: "database D on H as U" (no password).
  std::string Describe() const;
  // Checks a connection string; false with *error set when libpq cannot read it.
  static bool CheckConninfo(const std::string& conninfo, std::string* error);
  // text with every password taken out: "password=..." (quoted or not) and the
  // "user:password@" of a URI become "***", and so does any piece of conninfo's
  // password part (libpq's parse errors quote the tail of an unquoted password).
  static std::string Redact(const std::string& text, const std::string& conninfo);
  // True for codes that mean the database is out of reach (not a refused statement).
  static bool IsLinkFailure(int code);

 private:
  int Fail(int code, const std::string& text);
  int WaitSocket(bool forWrite, Deadline deadline);
  int Run(bool withParams, const std::string& sql, const std::vector<std::string>& params,
          const std::vector<bool>* nulls, PgRows* rows, Deadline deadline);

  std::string conninfo_;
  std::string applicationName_;
  int statementTimeoutMs_;
  pg_conn* conn_ = nullptr;
  std::function<void(const std::string&)> noticeSink_;
  std::string error_;
  std::string sqlState_;
};
