#pragma once

#include <sqlite3.h>

#include <string>
#include <string_view>
#include <vector>

namespace enginetest {

// Makes every statement whose SQL text holds one of the markers fail while it runs, as a read
// of a failing disk would: SQLite's progress handler interrupts it at once, or, with
// `afterRows`, when it produces the row after that many (so a read of no more rows than that
// ends normally). Install and remove on the queue that uses the connection; the connection's
// trace and progress hooks are its own while it lives.
class FailingStatements {
 public:
  FailingStatements(sqlite3* connection, std::vector<std::string> markers, int afterRows = 0)
      : connection_(connection), markers_(std::move(markers)), afterRows_(afterRows) {
    sqlite3_trace_v2(connection_, SQLITE_TRACE_STMT | SQLITE_TRACE_ROW, &FailingStatements::onTrace,
                     this);
    sqlite3_progress_handler(connection_, 1, &FailingStatements::onProgress, this);
  }
  ~FailingStatements() {
    sqlite3_trace_v2(connection_, 0, nullptr, nullptr);
    sqlite3_progress_handler(connection_, 0, nullptr, nullptr);
  }
  FailingStatements(const FailingStatements&) = delete;
  FailingStatements& operator=(const FailingStatements&) = delete;

  // How many statements were interrupted.
  int interrupted() const { return interrupted_; }

 private:
  // A statement beginning to run (before the handler is asked about it), or a row it produced
  // (the handler is asked again before the row is handed out, so a failure takes it back).
  static int onTrace(unsigned type, void* self, void* statement, void* sql) {
    auto* failing = static_cast<FailingStatements*>(self);
    if (type == SQLITE_TRACE_ROW) {
      if (statement == failing->current_) ++failing->rows_;
      return 0;
    }
    std::string_view text(static_cast<const char*>(sql));
    failing->current_ = nullptr;
    failing->rows_ = 0;
    for (const std::string& marker : failing->markers_) {
      if (text.find(marker) != std::string_view::npos) failing->current_ = statement;
    }
    return 0;
  }
  static int onProgress(void* self) {
    auto* failing = static_cast<FailingStatements*>(self);
    if (failing->current_ == nullptr) return 0;
    if (failing->afterRows_ > 0 && failing->rows_ <= failing->afterRows_) return 0;
    failing->current_ = nullptr;
    ++failing->interrupted_;
    return 1;
  }

  sqlite3* connection_;
  std::vector<std::string> markers_;
  int afterRows_;
  void* current_ = nullptr;  // the statement running now when it is one to fail
  int rows_ = 0;             // rows it produced so far
  int interrupted_ = 0;
};

}  // namespace enginetest
