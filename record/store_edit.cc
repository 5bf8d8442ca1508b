#include "record/store_edit.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "record/sqlite_statement.h"

namespace vireo::record {
namespace {

// Long enough to wait out a recorder's batch, and a reader's moment on the file.
constexpr int kBusyTimeoutMs = 5000;

bool Exec(sqlite3* db, const char* sql, std::string* error = nullptr) {
  char* message = nullptr;
  const bool ok = sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK;
  if (!ok && error)
    *error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return ok;
}

// An edit of a store in one write transaction, on a connection of its own: a plain read-write
// one, never OpenForRecording, whose lock a running recorder holds. SQLite keeps it in step with
// the recorder's connections, in this process too.
class Edit {
 public:
  explicit Edit(const std::string& path) : path_(path) {}
  ~Edit() {
    if (open_)
      Exec(db_.get(), "ROLLBACK");
  }
  Edit(const Edit&) = delete;
  Edit& operator=(const Edit&) = delete;

  // Opens the store, checks that it is one, and takes the write lock (after the recorder's
  // batch, if one is being written). False with one line naming the file.
  bool Begin(std::string& error) {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0)
      return Fail(error, "cannot edit " + path_ + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
      return Fail(error, path_ + " is not a file");
    // Asked before SQLite opens it, which would open a file it cannot write read-only and fail
    // only at the write, less clearly; the folder takes the journal.
    if (::access(path_.c_str(), W_OK) != 0)
      return Fail(error, "cannot write " + path_ + ": " + std::strerror(errno));
    const std::string folder = std::filesystem::absolute(path_).parent_path().string();
    if (::access(folder.c_str(), W_OK) != 0)
      return Fail(error, "cannot write " + path_ + ": its folder " + folder + " is not writable (" +
                             std::strerror(errno) + ")");
    // Asked before the connection opens: without /proc this opens and closes a descriptor of
    // the file, which would drop the connection's locks.
    recorded_ = StoreBeingRecorded(path_);
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    db_.reset(db);
    if (rc != SQLITE_OK)
      return Fail(error, path_ + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    if (sqlite3_db_readonly(db, "main") == 1)
      return Fail(error, "cannot write " + path_ + ": it opens read-only");
    int64_t applicationId = 0, version = 0;
    {
      Statement id(db, "PRAGMA application_id");
      if (!id || !id.Step()) {
        const int code = sqlite3_errcode(db);
        return Fail(error, code == SQLITE_NOTADB || code == SQLITE_CORRUPT
                               ? path_ + " is not an SQLite database"
                               : path_ + ": " + sqlite3_errmsg(db));
      }
      applicationId = id.Int(0);
      Statement v(db, "PRAGMA user_version");
      if (v && v.Step())
        version = v.Int(0);
    }
    if (applicationId != kStoreApplicationId)
      return Fail(error, path_ + " is not a store of recording sessions");
    if (version > kStoreSchemaVersion)
      return Fail(error, path_ + " was written by a newer version of this program");
    if (std::string why; !Exec(db, "BEGIN IMMEDIATE", &why))
      return Fail(error, path_ + ": " + why);
    open_ = true;
    return true;
  }

  // Commits, and leaves a store that no recorder holds as one file in rollback-journal mode.
  bool Commit(std::string& error) {
    std::string why;
    if (!Exec(db_.get(), "COMMIT", &why))
      return Fail(error, path_ + ": " + why);
    open_ = false;
    if (!recorded_) {
      // A killed recorder may have left it in WAL mode. A recorder that started meanwhile
      // keeps it so: no waiting for it here.
      sqlite3_busy_timeout(db_.get(), 0);
      bool wal = false;
      {
        Statement mode(db_.get(), "PRAGMA journal_mode");
        wal = mode && mode.Step() && mode.Text(0) == "wal";
      }
      if (wal)
        Exec(db_.get(), "PRAGMA journal_mode=DELETE");
    }
    return true;
  }

  bool Fail(std::string& error, std::string why) {
    error = std::move(why);
    return false;
  }
  std::string NoSession(int64_t sessionId) const {
    return path_ + " holds no session " + std::to_string(sessionId);
  }
  std::string SqlError() const { return path_ + ": " + sqlite3_errmsg(db_.get()); }

  sqlite3* db() const { return db_.get(); }
  bool recorded() const { return recorded_; }

 private:
  const std::string& path_;
  SqliteHandle db_;
  bool open_ = false;      // in the write transaction
  bool recorded_ = false;  // a recorder held the store when the edit began
};

}  // namespace

bool RenameSession(const std::string& path, int64_t sessionId, const std::string& title,
                   std::string& error) {
  Edit edit(path);
  if (!edit.Begin(error))
    return false;
  std::string why;
  if (!HasTitleColumn(edit.db()) && !AddTitleColumn(edit.db(), why))
    return edit.Fail(error, path + ": " + why);
  Statement s(edit.db(), "UPDATE sessions SET title = ?1 WHERE id = ?2");
  if (!s)
    return edit.Fail(error, edit.SqlError());
  if (title.empty())
    s.BindNull(1);
  else
    s.Bind(1, title);
  s.Bind(2, sessionId);
  if (s.Run() != SQLITE_OK)
    return edit.Fail(error, edit.SqlError());
  if (sqlite3_changes(edit.db()) == 0)
    return edit.Fail(error, edit.NoSession(sessionId));
  return edit.Commit(error);
}

bool DeleteSession(const std::string& path, int64_t sessionId, std::string& error) {
  Edit edit(path);
  if (!edit.Begin(error))
    return false;
  sqlite3* db = edit.db();
  {
    Statement find(db, "SELECT end_t_us IS NULL FROM sessions WHERE id = ?");
    if (!find)
      return edit.Fail(error, edit.SqlError());
    find.Bind(1, sessionId);
    if (!find.Step())
      return edit.Fail(error, edit.NoSession(sessionId));
    if (find.Int(0) != 0 && edit.recorded())
      return edit.Fail(error, "session " + std::to_string(sessionId) + " of " + path +
                                  " is being recorded; it can be deleted once it has ended");
  }
  bool pyramid = false;
  {
    Statement s(db, "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = 'pyramid'");
    pyramid = s && s.Step();
  }
  // Each by its session's index; the session's row last.
  for (const char* sql :
       {"DELETE FROM samples WHERE session_id = ?", "DELETE FROM gaps WHERE session_id = ?",
        "DELETE FROM events WHERE session_id = ?", "DELETE FROM summaries WHERE session_id = ?",
        "DELETE FROM pyramid WHERE session_id = ?", "DELETE FROM sessions WHERE id = ?"}) {
    if (!pyramid && std::strstr(sql, "pyramid"))
      continue;
    Statement s(db, sql);
    if (!s)
      return edit.Fail(error, edit.SqlError());
    s.Bind(1, sessionId);
    if (s.Run() != SQLITE_OK)
      return edit.Fail(error, edit.SqlError());
  }
  return edit.Commit(error);
}

bool WriteRows(const RecordStore& store, int64_t sessionId, int64_t fromUs, int64_t toUs,
               RowFormat format, std::FILE* out, std::string& error) {
  int writeError = 0;
  const auto write = [&](const std::string& text) {
    errno = 0;
    if (std::fputs(text.c_str(), out) < 0 && writeError == 0)
      writeError = errno ? errno : EIO;
    return writeError == 0;
  };
  if (format == RowFormat::kCsv)
    write(CsvHeader());
  std::string readError;
  const bool read =
      writeError == 0 &&
      store.Rows(
          sessionId, fromUs, toUs,
          [&](const StoredRow& row) {
            return write(row.isGap ? GapRow(format, row.tUs, row.gapToUs, row.gapCause)
                                   : SampleRow(format, row.tUs, row.values));
          },
          readError);
  errno = 0;
  if (std::fflush(out) != 0 && writeError == 0)
    writeError = errno ? errno : EIO;
  if (!readError.empty() || (!read && writeError == 0)) {
    error = store.path() + ": " + readError;
    return false;
  }
  if (writeError != 0) {
    error = std::string("cannot write the rows: ") + std::strerror(writeError);
    return false;
  }
  return true;
}

}  // namespace vireo::record
