// RecordStore: the SQLite file that holds the recording sessions (the schema is described in
// docs/record-store.md). One recorder writes it at a time, in batches, in WAL mode, so that
// readers (`sessions`, `export`) read while it records, and a kill at any moment leaves every
// batch written before intact. That recorder may hold several connections to it (the service,
// one per meter), each with a running session of its own; their batches take turns. When the
// last of them closes, the store becomes one file in rollback-journal mode again, which readers
// open read-only from any folder or medium.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/posix.h"
#include "record/pyramid.h"
#include "record/rows.h"
#include "record/session_sink.h"

namespace vireo::record {

// Why opening a store failed: the file is not one we may use (bad input), or it cannot be opened
// or the system failed (a missing file is such a failure).
enum class StoreError { kNone, kUsage, kBusy, kFailed };

struct StoreOpenResult {
  StoreError error = StoreError::kNone;
  std::string message;  // one line, naming the file
};

// "VREC" in a store's application_id, and the schema version it is written in.
inline constexpr int64_t kStoreApplicationId = 0x56524543;
inline constexpr int64_t kStoreSchemaVersion = 2;

// A session as the store holds it.
struct StoredSession {
  int64_t id = 0;
  int64_t startUnixUs = 0;
  std::optional<int64_t> endUs;  // since the start; none while unfinished
  std::optional<std::string> ended;
  std::string serial;
  std::string firmware;
  std::string settingsJson;
  std::string title;  // empty: none
  bool hasSummary = false;
  Summary summary;
};

// One row of an export: a sample or a gap.
struct StoredRow {
  bool isGap = false;
  int64_t tUs = 0;  // a gap's start
  StoredValues values{};
  int64_t gapToUs = 0;
  std::string gapCause;
};

// Closes the SQLite connection.
struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteCloser>;

// Whether the sessions table has the title column (stores made before it was added have none).
bool HasTitleColumn(sqlite3* db);
// Adds the title column to a store without one, inside the caller's write transaction if any;
// false with SQLite's message.
bool AddTitleColumn(sqlite3* db, std::string& error);

// The program that holds a store's recorder lock.
struct StoreHolder {
  int pid = 0;
  std::string program;  // its name, as the system has it
};
// The process holding the recorder lock on the file at `path`, found in /proc/locks; none when
// no one holds it or the system does not say.
std::optional<StoreHolder> FindStoreHolder(const std::string& path);
// Whether a recorder, of this process or another, holds the store at `path` now. Opens no
// descriptor of the file that it would have to close, which would drop the locks that SQLite
// holds on it in this process.
bool StoreBeingRecorded(const std::string& path);

// Called while an older store is upgraded: samples done out of the total.
using UpgradeProgress = std::function<void(int64_t done, int64_t total)>;

class RecordStore : public SessionSink {
 public:
  RecordStore();
  ~RecordStore() override;
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  // Opens (creating when missing) the store for recording: takes the file's lock, refuses a
  // file that is not an SQLite database of this program, creates the tables in a new one. A store
  // of schema version 1 is upgraded first (its summary pyramid built in one transaction).
  StoreOpenResult OpenForRecording(const std::string& path, const UpgradeProgress& progress = {});
  // Opens one more recording connection to the store that `first` opened for recording, sharing
  // its lock and the session and gap ids it hands out. `first` may close before this one.
  StoreOpenResult OpenAlongside(const RecordStore& first);
  // Opens an existing store read-only; it may be being recorded into. Creates no file.
  StoreOpenResult OpenForReading(const std::string& path);
  // Whether a recorder holds the store now; a session without an end in a store that none
  // holds was left unfinished by a recorder that died.
  bool BeingRecorded() const;
  // Closes and deletes the file when OpenForRecording created it and it still holds no session
  // (a run that failed before its first one); true when it did.
  bool RemoveIfCreatedEmpty();

  // Sessions left unfinished by a recorder that was killed: closes each as "interrupted" at its
  // last sample and returns their ids. Only after OpenForRecording.
  std::vector<int64_t> CloseUnfinished(std::string& error);

  // SessionSink: queued in memory until the next Flush.
  void BeginSession(const SessionStart& start) override;
  void Sample(int64_t tNs, const ReadingsRecord& readings) override;
  void GapOpened(int64_t fromNs, const std::string& cause) override;
  void GapClosed(const GapRecord& gap) override;
  void Event(const EventRecord& event) override;
  void EndSession(const SessionEnd& end) override;

  enum class FlushResult { kOk, kDiskFull, kFailed };
  // Writes what was queued in one transaction, with the running session's summary when given.
  // Below minFreeBytes of free space on the file's disk, or when the disk is full, it says
  // kDiskFull; what could not be written stays queued (see DropQueuedSamples). While another
  // connection holds the write lock (for up to some minutes) it says kOk and keeps the batch
  // queued for the next call.
  FlushResult Flush(const std::optional<Summary>& running, uint64_t minFreeBytes);
  // The last write of a run: no space checks; if the disk has no room for the queued samples,
  // they are given up so that the session's end is still written.
  FlushResult FlushFinal();
  bool HasQueued() const;
  // Gives up the queued samples.
  void DropQueuedSamples();
  // How long a write waits for another connection's write lock before the batch stays queued
  // for the next flush (5 s unless set): a recorder on a thread that must not block for long,
  // the desktop program's GUI thread, waits less.
  void SetLockWait(std::chrono::milliseconds wait);
  const std::string& lastError() const { return lastError_; }
  // The id of the session being recorded (or last recorded), 0 before the first.
  int64_t sessionId() const { return sessionId_; }
  const std::string& path() const { return path_; }

  // Reading.
  std::vector<StoredSession> Sessions(std::string& error) const;
  // The rows of a session between fromUs and toUs (since its start), samples and gaps in
  // order; the callback returns false to stop. False on a read error.
  bool Rows(int64_t sessionId, int64_t fromUs, int64_t toUs,
            const std::function<bool(const StoredRow&)>& row, std::string& error) const;

  // Whether the store holds the summary pyramid (not one of schema version 1 opened to read).
  bool HasPyramid() const;
  // The connection, for the span queries (session_span.h).
  sqlite3* connection() const { return db_.get(); }

  // Free bytes on the disk of `path`'s folder, none if unknown.
  static std::optional<uint64_t> FreeBytes(const std::string& path);

 private:
  struct Queued;
  struct Shared;
  StoreOpenResult CheckAndPrepare(bool forWriting, const UpgradeProgress& progress = {});
  bool Upgrade(const UpgradeProgress& progress);
  StoreOpenResult OpenConnection(bool forWriting);
  bool Exec(const char* sql);
  bool ReserveJournalRoom(bool& full);
  bool WriteQueued(const std::optional<Summary>& running);
  void LeaveAsOneFile();

  std::string path_;
  SqliteHandle db_;
  std::shared_ptr<Shared> shared_;  // the file's lock and ids, while recording
  posix::UniqueFd journal_;         // the WAL file, to keep room reserved ahead of it
  posix::UniqueFd file_;            // a reader's descriptor, to look at the recorder's lock
  std::unique_ptr<Queued> queued_;
  int64_t sessionId_ = 0;
  bool sessionInserted_ = false;
  int64_t openGapId_ = 0;
  bool gapSincePrevious_ = false;  // for the next queued sample
  PyramidBuilder pyramid_;         // of the samples written so far
  std::string lastError_;
  int lastErrorCode_ = SQLITE_OK;
  // Since when batches have found the store's write lock held by another connection.
  std::optional<std::chrono::steady_clock::time_point> busySince_;
};

}  // namespace vireo::record
