// The SQLite store: what a recording leaves in it, how it is read back, the lock, the files it
// refuses, closing a session that a killed recorder left open, and editing beside a recorder.
#include "record/record_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>

#include "record/store_edit.h"
#include "recording_sink.h"
#include "support/store_query.h"

namespace vireo::record {
namespace {

namespace fs = std::filesystem;
using test::kSecond;

class RecordStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vireo-store-XXXXXX";
    folder_ = mkdtemp(pattern);
    path_ = (folder_ / "r.db").string();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  // Runs a query on its own connection and returns the first column of each row as text.
  std::vector<std::string> Query(const std::string& sql) {
    return testing::StoreColumn(path_, sql);
  }

  // A session of three samples, a closed gap and an event, written in two batches.
  void RecordOne(RecordStore& store, bool end) {
    SessionStart start{1, int64_t{1'700'000'000} * kSecond, "FEDCBA", "1.5", "{\"gapAfter\":1}"};
    store.BeginSession(start);
    store.Sample(0, test::Frame(0, 5.1f, 1).readings);
    store.Sample(kSecond, test::Frame(0, 5.0f, 2).readings);
    Summary running;
    running.samples = 2;
    running.coveredSeconds = 1;
    ASSERT_EQ(store.Flush(running, 0), RecordStore::FlushResult::kOk);
    store.GapOpened(kSecond, "meter gone");
    store.Event({kSecond, "meter lost", "meter gone"});
    if (!end) {
      ASSERT_EQ(store.Flush(running, 0), RecordStore::FlushResult::kOk);
      return;
    }
    store.GapClosed({kSecond, 3 * kSecond, "meter gone"});
    store.Sample(3 * kSecond, test::Frame(0, 4.9f, 3).readings);
    SessionEnd e{3 * kSecond, EndReason::kStopped, {}};
    e.summary.samples = 3;
    e.summary.gaps = 1;
    e.summary.energyWh = 0.5;
    store.EndSession(e);
    ASSERT_EQ(store.FlushFinal(), RecordStore::FlushResult::kOk);
  }

  fs::path folder_;
  std::string path_;
};

TEST_F(RecordStoreTest, ARecordedSessionCanBeQueriedAndReadBack) {
  {
    RecordStore store;
    ASSERT_EQ(store.OpenForRecording(path_).error, StoreError::kNone);
    RecordOne(store, true);
  }
  EXPECT_EQ(Query("PRAGMA journal_mode"), std::vector<std::string>{"delete"});
  EXPECT_EQ(Query("SELECT start_utc || ' ' || end_utc || ' ' || ended || ' ' || serial FROM "
                  "sessions"),
            std::vector<std::string>{
                "2023-11-14T22:13:20.000000Z 2023-11-14T22:13:23.000000Z stopped FEDCBA"});
  EXPECT_EQ(Query("SELECT t_us || ' ' || voltage_uv || ' ' || current_ua FROM samples"),
            (std::vector<std::string>{"0 5100000 1000000", "1000000 5000000 2000000",
                                      "3000000 4900000 3000000"}));
  EXPECT_EQ(Query("SELECT t || ' ' || current FROM readings WHERE t > 2"),
            std::vector<std::string>{"3.0 3.0"});
  EXPECT_EQ(Query("SELECT from_us || ' ' || to_us || ' ' || cause FROM gaps"),
            std::vector<std::string>{"1000000 3000000 meter gone"});
  EXPECT_EQ(Query("SELECT samples || ' ' || gaps || ' ' || energy_wh FROM summaries"),
            std::vector<std::string>{"3 1 0.5"});

  RecordStore reader;
  ASSERT_EQ(reader.OpenForReading(path_).error, StoreError::kNone);
  std::string error;
  const auto sessions = reader.Sessions(error);
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].ended, "stopped");
  EXPECT_EQ(sessions[0].endUs, 3'000'000);
  EXPECT_EQ(sessions[0].summary.samples, 3);
  std::vector<std::string> rows;
  EXPECT_TRUE(reader.Rows(
      sessions[0].id, INT64_MIN, INT64_MAX,
      [&](const StoredRow& r) {
        rows.push_back(r.isGap ? "gap " + std::to_string(r.tUs) : std::to_string(r.tUs));
        return true;
      },
      error));
  EXPECT_EQ(rows, (std::vector<std::string>{"0", "1000000", "gap 1000000", "3000000"}));
  rows.clear();
  EXPECT_TRUE(reader.Rows(
      sessions[0].id, 2'000'000, INT64_MAX,
      [&](const StoredRow& r) {
        rows.push_back(r.isGap ? "gap" : std::to_string(r.tUs));
        return true;
      },
      error));
  EXPECT_EQ(rows, (std::vector<std::string>{"gap", "3000000"}));
}

// A recorder may add connections of its own (one per meter), each with its session; the lock
// is theirs until the last of them closes.
TEST_F(RecordStoreTest, OneRecorderAtATimeWhileReadersRead) {
  auto first = std::make_unique<RecordStore>();
  ASSERT_EQ(first->OpenForRecording(path_).error, StoreError::kNone);
  RecordOne(*first, false);
  RecordStore alongside;
  ASSERT_EQ(alongside.OpenAlongside(*first).error, StoreError::kNone);
  RecordOne(alongside, true);
  RecordStore second;
  const StoreOpenResult refused = second.OpenForRecording(path_);
  EXPECT_EQ(refused.error, StoreError::kBusy);
  // This process holds it: named by its program.
  EXPECT_NE(refused.message.find(" (process " + std::to_string(getpid()) + ")"), std::string::npos)
      << refused.message;
  RecordStore reader;
  ASSERT_EQ(reader.OpenForReading(path_).error, StoreError::kNone);
  EXPECT_TRUE(reader.BeingRecorded());
  std::string error;
  const auto sessions = reader.Sessions(error);
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_FALSE(sessions[0].ended);
  EXPECT_EQ(sessions[0].summary.samples, 2);
  EXPECT_EQ(sessions[1].ended, "stopped");
  EXPECT_EQ(Query("SELECT session_id || ' ' || COALESCE(to_us, 'open') FROM gaps ORDER BY id"),
            (std::vector<std::string>{"1 open", "2 3000000"}));
  first.reset();
  EXPECT_EQ(RecordStore().OpenForRecording(path_).error, StoreError::kBusy);
  EXPECT_TRUE(reader.BeingRecorded());
}

// The last connection of a recorder leaves one file in rollback-journal mode, which readers
// open without writing beside it; so does a store that an older recorder left in WAL mode.
TEST_F(RecordStoreTest, AClosedStoreIsOneFileThatReadersLeaveAsItIs) {
  {
    RecordStore first;
    ASSERT_EQ(first.OpenForRecording(path_).error, StoreError::kNone);
    RecordStore alongside;
    ASSERT_EQ(alongside.OpenAlongside(first).error, StoreError::kNone);
    RecordOne(first, true);
    RecordOne(alongside, true);
  }
  const auto files = [this] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_))
      names.push_back(entry.path().filename());
    return names;
  };
  ASSERT_EQ(files(), std::vector<std::string>{"r.db"});
  for (const bool leftInWal : {false, true}) {
    if (leftInWal) {
      sqlite3* db = nullptr;
      sqlite3_open(path_.c_str(), &db);
      sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
      sqlite3_close(db);
    }
    RecordStore reader;
    ASSERT_EQ(reader.OpenForReading(path_).error, StoreError::kNone);
    EXPECT_FALSE(reader.BeingRecorded());
    std::string error;
    EXPECT_EQ(reader.Sessions(error).size(), 2u) << error;
    int rows = 0;
    EXPECT_TRUE(reader.Rows(
        2, 0, INT64_MAX,
        [&](const StoredRow&) {
          ++rows;
          return true;
        },
        error));
    EXPECT_EQ(rows, 4);
    EXPECT_EQ(files(), std::vector<std::string>{"r.db"}) << leftInWal;
  }
}

TEST_F(RecordStoreTest, OnlyAStoreThisRunCreatedAndLeftEmptyIsRemoved) {
  for (const bool created : {true, false}) {
    {
      RecordStore store;
      ASSERT_EQ(store.OpenForRecording(path_).error, StoreError::kNone);
      EXPECT_EQ(store.RemoveIfCreatedEmpty(), created);
    }
    EXPECT_EQ(fs::exists(path_), !created);
    if (created) {
      EXPECT_TRUE(fs::is_empty(folder_));
    }
    RecordStore().OpenForRecording(path_);  // an empty store made before
  }
}

TEST_F(RecordStoreTest, AnUnfinishedSessionIsClosedAsInterruptedAtItsLastSample) {
  {
    RecordStore killed;
    ASSERT_EQ(killed.OpenForRecording(path_).error, StoreError::kNone);
    RecordOne(killed, false);  // left with an open gap and no end
  }
  const auto samplesBefore = Query("SELECT group_concat(t_us || ':' || voltage_uv) FROM samples");
  RecordStore next;
  ASSERT_EQ(next.OpenForRecording(path_).error, StoreError::kNone);
  std::string error;
  EXPECT_EQ(next.CloseUnfinished(error), std::vector<int64_t>{1});
  EXPECT_EQ(error, "");
  EXPECT_EQ(Query("SELECT ended || ' ' || end_t_us || ' ' || end_utc FROM sessions"),
            std::vector<std::string>{"interrupted 1000000 2023-11-14T22:13:21.000000Z"});
  EXPECT_EQ(Query("SELECT from_us || ' ' || to_us FROM gaps"),
            std::vector<std::string>{"1000000 1000000"});
  EXPECT_EQ(Query("SELECT gaps || ' ' || duration_seconds || ' ' || coverage FROM summaries"),
            std::vector<std::string>{"1 1.0 1.0"});
  EXPECT_EQ(Query("SELECT group_concat(t_us || ':' || voltage_uv) FROM samples"), samplesBefore);
  // Closed once: a later run finds nothing to close.
  EXPECT_TRUE(next.CloseUnfinished(error).empty());
}

TEST_F(RecordStoreTest, NewSessionsFollowTheStoredOnes) {
  {
    RecordStore store;
    ASSERT_EQ(store.OpenForRecording(path_).error, StoreError::kNone);
    RecordOne(store, true);
  }
  RecordStore store;
  ASSERT_EQ(store.OpenForRecording(path_).error, StoreError::kNone);
  RecordOne(store, true);
  EXPECT_EQ(store.sessionId(), 2);
  EXPECT_EQ(Query("SELECT count(*) FROM samples WHERE session_id = 2"),
            std::vector<std::string>{"3"});
  EXPECT_EQ(Query("SELECT group_concat(id) FROM gaps"), std::vector<std::string>{"1,2"});
}

// Whether this process holds a POSIX lock on the file, as SQLite does on a store in WAL mode
// while it has a connection open: closing any other descriptor of the file would drop it.
bool HoldsSqliteLock(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    return false;
  char file[64];
  std::snprintf(file, sizeof file, " %d %02x:%02x:%llu ", static_cast<int>(getpid()),
                major(st.st_dev), minor(st.st_dev), static_cast<unsigned long long>(st.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    if (line.find("POSIX") != std::string::npos && line.find(file) != std::string::npos)
      return true;
  }
  return false;
}

// The desktop program edits a store while it records into it, in one process: the edits wait
// for the recorder's batches, keep its locks, and refuse to delete the session it records.
TEST_F(RecordStoreTest, SessionsAreRenamedAndDeletedBesideARunningRecorder) {
  {
    RecordStore killed;
    ASSERT_EQ(killed.OpenForRecording(path_).error, StoreError::kNone);
    RecordOne(killed, true);
    RecordOne(killed, false);  // session 2 left unfinished
  }
  // As a store made before titles were kept.
  {
    sqlite3* db = nullptr;
    sqlite3_open(path_.c_str(), &db);
    ASSERT_EQ(sqlite3_exec(db, "ALTER TABLE sessions DROP COLUMN title", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  const auto titles = [this] {
    RecordStore reader;
    EXPECT_EQ(reader.OpenForReading(path_).error, StoreError::kNone);
    std::string error, all;
    for (const StoredSession& s : reader.Sessions(error))
      all += std::to_string(s.id) + ":" + s.title + " ";
    return all + error;
  };
  const auto rows = [this](const char* table, const char* column) {
    return Query(std::string("SELECT group_concat(DISTINCT ").append(column).append(") FROM ") +
                 table)[0];
  };
  EXPECT_EQ(titles(), "1: 2: ");
  std::string error;
  EXPECT_TRUE(RenameSession(path_, 1, "charger A", error)) << error;
  EXPECT_FALSE(RenameSession(path_, 9, "none", error));
  EXPECT_EQ(error, path_ + " holds no session 9");
  // Left unfinished by a recorder that no longer runs: it may go.
  EXPECT_TRUE(DeleteSession(path_, 2, error)) << error;
  EXPECT_EQ(titles(), "1:charger A ");
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(folder_))
    files.push_back(entry.path().filename());
  EXPECT_EQ(files, std::vector<std::string>{"r.db"});

  RecordStore recorder;
  ASSERT_EQ(recorder.OpenForRecording(path_).error, StoreError::kNone);
  RecordOne(recorder, true);
  RecordOne(recorder, false);  // session 3, being recorded
  EXPECT_TRUE(HoldsSqliteLock(path_));
  EXPECT_FALSE(DeleteSession(path_, 3, error));
  EXPECT_NE(error.find("session 3 of " + path_ + " is being recorded"), std::string::npos) << error;
  EXPECT_TRUE(RenameSession(path_, 3, "phone", error)) << error;
  EXPECT_TRUE(RenameSession(path_, 1, "", error)) << error;
  EXPECT_TRUE(DeleteSession(path_, 2, error)) << error;
  for (const char* table : {"samples", "gaps", "events", "summaries", "pyramid"})
    EXPECT_EQ(rows(table, "session_id"), "1,3") << table;
  EXPECT_EQ(rows("sessions", "id"), "1,3");

  // The recording goes on, its locks kept: a second recorder is still refused, and the readers
  // and edits closed no descriptor of the file beside SQLite's.
  EXPECT_EQ(RecordStore().OpenForRecording(path_).error, StoreError::kBusy);
  EXPECT_EQ(titles(), "1: 3:phone ");
  EXPECT_TRUE(HoldsSqliteLock(path_));
  recorder.GapClosed({kSecond, 3 * kSecond, "meter gone"});
  recorder.Sample(3 * kSecond, test::Frame(0, 4.9f, 3).readings);
  recorder.EndSession({3 * kSecond, EndReason::kStopped, {}});
  ASSERT_EQ(recorder.FlushFinal(), RecordStore::FlushResult::kOk) << recorder.lastError();
  EXPECT_EQ(Query("SELECT count(*) || ' ' || ended FROM samples JOIN sessions ON id = session_id "
                  "WHERE id = 3"),
            std::vector<std::string>{"3 stopped"});
}

// Another connection may hold the write lock longer than SQLite waits (an edit deleting a long
// session, a user's sqlite3 shell): the recorder keeps its batch and writes it later.
TEST_F(RecordStoreTest, ABatchWaitsWhileAnotherConnectionHoldsTheStore) {
  RecordStore recorder;
  ASSERT_EQ(recorder.OpenForRecording(path_).error, StoreError::kNone);
  RecordOne(recorder, false);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  recorder.Sample(2 * kSecond, test::Frame(0, 5.2f, 4).readings);
  EXPECT_EQ(recorder.Flush(std::nullopt, 0), RecordStore::FlushResult::kOk) << recorder.lastError();
  EXPECT_TRUE(recorder.HasQueued());
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  recorder.EndSession({2 * kSecond, EndReason::kStopped, {}});
  ASSERT_EQ(recorder.FlushFinal(), RecordStore::FlushResult::kOk) << recorder.lastError();
  EXPECT_EQ(Query("SELECT count(*) || ' ' || max(t_us) FROM samples"),
            std::vector<std::string>{"3 2000000"});
}

// Makes a file or folder unwritable while it lives, for root too where the file system can
// mark it immutable.
class Unwritable {
 public:
  explicit Unwritable(const fs::path& path) : path_(path) {
    if (Immutable(true))
      how_ = kImmutable;
    else if (geteuid() != 0 && ::chmod(path.c_str(), 0555) == 0)
      how_ = kMode;
  }
  ~Unwritable() {
    if (how_ == kImmutable)
      Immutable(false);
    else if (how_ == kMode)
      ::chmod(path_.c_str(), 0755);
  }
  explicit operator bool() const { return how_ != kNot; }

 private:
  bool Immutable(bool on) {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    const bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL,
                       ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0)
      ::close(fd);
    return done;
  }
  enum { kNot, kImmutable, kMode } how_ = kNot;
  fs::path path_;
};

TEST_F(RecordStoreTest, AnEditOfAFileOrFolderItCannotWriteChangesNothing) {
  {
    RecordStore store;
    ASSERT_EQ(store.OpenForRecording(path_).error, StoreError::kNone);
    RecordOne(store, true);
  }
  const auto before = fs::last_write_time(path_);
  for (const fs::path& locked : {fs::path(path_), folder_}) {
    const Unwritable unwritable(locked);
    if (!unwritable)
      GTEST_SKIP() << "cannot make " << locked << " unwritable here";
    std::string error;
    EXPECT_FALSE(RenameSession(path_, 1, "title", error));
    EXPECT_EQ(error.rfind("cannot write " + path_ + ": ", 0), 0u) << error;
    EXPECT_FALSE(DeleteSession(path_, 1, error));
    EXPECT_EQ(error.rfind("cannot write " + path_ + ": ", 0), 0u) << error;
  }
  EXPECT_EQ(fs::last_write_time(path_), before);
  EXPECT_EQ(Query("SELECT count(*) || ' ' || count(title) FROM sessions"),
            std::vector<std::string>{"1 0"});
}

struct RefusedFile {
  const char* name;
  std::function<void(const std::string&)> make;
  const char* says;
};

class RefusedFileTest : public RecordStoreTest,
                        public ::testing::WithParamInterface<RefusedFile> {};

TEST_P(RefusedFileTest, IsLeftAsItWas) {
  GetParam().make(path_);
  std::error_code ec;
  const bool existed = fs::exists(path_, ec);
  const auto size = existed && fs::is_regular_file(path_) ? fs::file_size(path_) : 0;
  for (const bool writing : {true, false}) {
    RecordStore store;
    const StoreOpenResult r = writing ? store.OpenForRecording(path_) : store.OpenForReading(path_);
    EXPECT_EQ(r.error, StoreError::kUsage) << writing;
    EXPECT_NE(r.message.find(GetParam().says), std::string::npos) << r.message;
  }
  EXPECT_EQ(fs::exists(path_, ec), existed);
  if (existed && fs::is_regular_file(path_)) {
    EXPECT_EQ(fs::file_size(path_), size);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedFileTest,
    ::testing::Values(
        RefusedFile{"text", [](const std::string& p) { std::ofstream(p) << "t,voltage\n0,5.1\n"; },
                    "not an SQLite database"},
        RefusedFile{"foreign_database",
                    [](const std::string& p) {
                      sqlite3* db = nullptr;
                      sqlite3_open(p.c_str(), &db);
                      sqlite3_exec(db, "CREATE TABLE t (x)", nullptr, nullptr, nullptr);
                      sqlite3_close(db);
                    },
                    "another program"},
        RefusedFile{"folder", [](const std::string& p) { fs::create_directory(p); }, ""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(RecordStoreTest, AFileInAMissingFolderIsRefusedAndNothingIsCreated) {
  const std::string path = (folder_ / "nowhere" / "r.db").string();
  RecordStore store;
  const StoreOpenResult r = store.OpenForRecording(path);
  EXPECT_EQ(r.error, StoreError::kFailed);
  EXPECT_NE(r.message.find("cannot write"), std::string::npos);
  EXPECT_FALSE(fs::exists(folder_ / "nowhere"));
}

TEST_F(RecordStoreTest, ReadingAMissingFileCreatesNothing) {
  RecordStore store;
  EXPECT_EQ(store.OpenForReading(path_).error, StoreError::kFailed);
  EXPECT_FALSE(fs::exists(path_));
}

}  // namespace
}  // namespace vireo::record
