// What the uploads page asks of SQLite: each read a seek by id, never a scan, however far down the
// uploads a page starts. The statements are caught as the service runs them (a trace on every
// connection the process opens) and SQLite's own EXPLAIN QUERY PLAN tells how it runs each.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "tests/support/ProtobufWire.h"
#include "tests/support/ServiceProcess.h"
#include "tools/measurement-service/MeasurementService.h"

namespace {

using testsupport::httpRequest;
using testsupport::lengthDelimited;

std::mutex statementsMutex;
std::set<std::string> statements;  // statementsMutex

int recordStatement(unsigned, void*, void* statement, void*) {
  std::lock_guard lock(statementsMutex);
  statements.insert(sqlite3_sql(static_cast<sqlite3_stmt*>(statement)));
  return 0;
}

int traceConnection(sqlite3* db, const char**, const sqlite3_api_routines*) {
  sqlite3_trace_v2(db, SQLITE_TRACE_STMT, recordStatement, nullptr);
  return SQLITE_OK;
}

// The lines of SQLite's plan for `sql` on the database at `path`.
std::string queryPlan(const std::filesystem::path& path, const std::string& sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* explain = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &explain, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  std::string plan;
  while (sqlite3_step(explain) == SQLITE_ROW) {
    plan += reinterpret_cast<const char*>(sqlite3_column_text(explain, 3)) + std::string("\n");
  }
  sqlite3_finalize(explain);
  sqlite3_close(db);
  return plan;
}

// The first page, a page deep down and the page a link leads to: every statement they run seeks
// (SEARCH), the uploads by their id; none scans a table (SCAN), which for a page below the
// latest uploads went through every newer one for each upload listed.
TEST(UploadsPageQueryPlanTest, EachReadOfAPageSeeksByID) {
  const std::filesystem::path data =
      std::filesystem::temp_directory_path() / ("kvl-ms-plan-" + std::to_string(::getpid()));
  std::filesystem::remove_all(data);
  sqlite3_auto_extension(reinterpret_cast<void (*)()>(traceConnection));
  {
    measurement_service::MeasurementService::Options options;
    options.dataDirectory = data.string();
    measurement_service::MeasurementService service(options);
    for (int i = 0; i < 45; ++i) {
      ASSERT_EQ(httpRequest("POST", service.baseURL() + "/a", {},
                            lengthDelimited(1, lengthDelimited(8, "ios")))
                    .status,
                204);
    }
    {
      std::lock_guard lock(statementsMutex);
      statements.clear();
    }
    const std::string token = "X-Service-Token: " + service.server().controlToken();
    const std::pair<const char*, const char*> pages[] = {{"/", "<h2>Upload 45 "},
                                                         {"/?before=30", "<h2>Upload 29 "},
                                                         {"/?before=5", "<h2>Upload 4 "},
                                                         {"/uploads.json?before=5", "\"id\":4,"}};
    for (const auto& [path, first] : pages) {
      auto page = httpRequest("GET", service.baseURL() + path, {token});
      ASSERT_EQ(page.status, 200) << path;
      EXPECT_NE(page.body.find(first), std::string::npos) << path;
    }
  }
  sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(traceConnection));
  std::lock_guard lock(statementsMutex);
  ASSERT_FALSE(statements.empty());
  bool uploadsRead = false;
  for (const std::string& sql : statements) {
    SCOPED_TRACE(sql);
    const std::string plan = queryPlan(data / "uploads.sqlite", sql);
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
    uploadsRead =
        uploadsRead || plan.find("SEARCH uploads USING INTEGER PRIMARY KEY") != std::string::npos;
  }
  EXPECT_TRUE(uploadsRead);
  std::filesystem::remove_all(data);
}

}  // namespace
