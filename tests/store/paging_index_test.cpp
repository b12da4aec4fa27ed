// Pages of a status queue seek on an index instead of scanning the table,
// and the commits are durable past a power loss.

#include <string>

#include <gtest/gtest.h>

#include "db_test_support.h"
#include "store/metadata_db.h"

namespace mq::store {
namespace {

using db_test::sql;
using db_test::sql_value;

TEST(paging_index_test, an_old_database_gains_the_index_and_both_page_statements_use_it) {
  db_test::temp_dir_t dir;
  const std::string path = dir.file("queue.db");
  { metadata_db_t made(path, false); }
  sql(path, "DROP INDEX entry_by_status_next_access_ts_index;");  // as an earlier version left it
  db_test::log_capture_t log;
  metadata_db_t db(path, true);
  EXPECT_EQ(sql_value(path, "SELECT sql FROM sqlite_master WHERE name = 'entry_by_status_next_access_ts_index';"),
            "CREATE INDEX entry_by_status_next_access_ts_index ON entry(status, next_access_ts, id)");
  auto synchronous = db.connection().prepare("PRAGMA synchronous;");
  ASSERT_TRUE(synchronous.step());
  EXPECT_EQ(synchronous.column_int64(0), 3);  // EXTRA

  queue_chunk_request_t request;
  request.entry_id = 5;
  request.next_access_ts = 7;
  request.status = bcc_fresh;
  log.clear();
  db.get_queue_chunk(request);
  db.get_queue_chunk_brief(request);
  int pages = 0;
  for (const auto& [level, line] : log.lines()) {
    const auto text = line.find("SELECT");
    if (line.find("ORDER BY") == std::string::npos || text == std::string::npos) continue;
    ++pages;
    std::string plan;
    for (const auto& row : sql(path, "EXPLAIN QUERY PLAN " + line.substr(text))) plan += row.back() + "\n";
    EXPECT_NE(plan.find("INDEX entry_by_status_next_access_ts_index (status=? AND next_access_ts>?)"),
              std::string::npos)
        << plan;
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
  }
  EXPECT_EQ(pages, 2);
}

}  // namespace
}  // namespace mq::store
