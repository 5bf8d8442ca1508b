#include "record/record_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>
#include <utility>

#include "base/iso_time.h"
#include "record/sqlite_statement.h"

namespace vireo::record {

namespace {

// Room kept allocated ahead of the journal, so that a full disk still takes a session's end.
constexpr off_t kJournalReserve = 256 * 1024;
// How long batches wait in memory while another connection holds the store's write lock before
// the recorder gives up; a few MB at 100 frames a second.
constexpr std::chrono::minutes kBusyPatience{5};
// A byte of the file far from the ones SQLite locks: a recorder holds a write lock of its open
// file description on it while it runs. Readers test that lock without taking it, so a recorder
// that starts meanwhile is never turned away (the flock that keeps recorders apart cannot be
// tested without being taken).
constexpr off_t kRecorderLockByte = off_t{1} << 40;

constexpr const char* kSchema = R"sql(
CREATE TABLE sessions (
  id            INTEGER PRIMARY KEY,
  start_utc     TEXT    NOT NULL,
  start_unix_us INTEGER NOT NULL,
  end_utc       TEXT,
  end_t_us      INTEGER,
  ended         TEXT CHECK (ended IN ('stopped', 'limit', 'trigger', 'interrupted',
                                      'disk full', 'meter refused')),
  serial        TEXT    NOT NULL,
  firmware      TEXT    NOT NULL,
  settings      TEXT    NOT NULL,
  title         TEXT
);
CREATE TABLE samples (
  session_id       INTEGER NOT NULL REFERENCES sessions(id),
  t_us             INTEGER NOT NULL,
  voltage_uv       INTEGER,
  current_ua       INTEGER,
  power_uw         INTEGER,
  dplus_uv         INTEGER,
  dminus_uv        INTEGER,
  temp_internal_mc INTEGER,
  temp_external_mc INTEGER,
  voltage_fast_uv  INTEGER,
  current_fast_ua  INTEGER,
  PRIMARY KEY (session_id, t_us)
) WITHOUT ROWID;
CREATE TABLE gaps (
  id         INTEGER PRIMARY KEY,
  session_id INTEGER NOT NULL REFERENCES sessions(id),
  from_us    INTEGER NOT NULL,
  to_us      INTEGER,
  cause      TEXT    NOT NULL
);
CREATE TABLE events (
  id         INTEGER PRIMARY KEY,
  session_id INTEGER NOT NULL REFERENCES sessions(id),
  t_us       INTEGER NOT NULL,
  kind       TEXT    NOT NULL,
  detail     TEXT    NOT NULL
);
CREATE TABLE summaries (
  session_id       INTEGER PRIMARY KEY REFERENCES sessions(id),
  samples          INTEGER NOT NULL,
  repeated         INTEGER NOT NULL,
  frames_lost      INTEGER,
  gaps             INTEGER NOT NULL,
  gap_seconds      REAL    NOT NULL,
  covered_seconds  REAL    NOT NULL,
  duration_seconds REAL    NOT NULL,
  coverage         REAL    NOT NULL,
  energy_wh        REAL    NOT NULL,
  charge_mah       REAL    NOT NULL,
  voltage_min REAL, voltage_max REAL, voltage_mean REAL,
  current_min REAL, current_max REAL, current_mean REAL,
  power_min REAL, power_max REAL, power_mean REAL,
  dplus_min REAL, dplus_max REAL, dplus_mean REAL,
  dminus_min REAL, dminus_max REAL, dminus_mean REAL,
  temp_internal_min REAL, temp_internal_max REAL, temp_internal_mean REAL,
  temp_external_min REAL, temp_external_max REAL, temp_external_mean REAL,
  voltage_fast_min REAL, voltage_fast_max REAL, voltage_fast_mean REAL,
  current_fast_min REAL, current_fast_max REAL, current_fast_mean REAL
);
CREATE INDEX gaps_by_session ON gaps (session_id, from_us);
CREATE INDEX events_by_session ON events (session_id, t_us);
CREATE VIEW readings AS
  SELECT session_id, t_us / 1e6 AS t,
         voltage_uv / 1e6 AS voltage, current_ua / 1e6 AS current, power_uw / 1e6 AS power,
         dplus_uv / 1e6 AS dplus, dminus_uv / 1e6 AS dminus,
         temp_internal_mc / 1e3 AS temp_internal, temp_external_mc / 1e3 AS temp_external,
         voltage_fast_uv / 1e6 AS voltage_fast, current_fast_ua / 1e6 AS current_fast
  FROM samples;
)sql";

std::string SampleColumns() {
  std::string columns = "session_id, t_us";
  for (const QuantityInfo& q : kQuantities) {
    columns += ", ";
    columns += q.column;
  }
  return columns;
}

std::string SummaryColumns() {
  std::string columns =
      "samples, repeated, frames_lost, gaps, gap_seconds, covered_seconds, duration_seconds, "
      "coverage, energy_wh, charge_mah";
  for (const QuantityInfo& q : kQuantities) {
    for (const char* what : {"_min", "_max", "_mean"}) {
      columns += ", ";
      columns += q.name;
      columns += what;
    }
  }
  return columns;
}

constexpr int kSummaryFields = 10 + 3 * kQuantityCount;

std::string Placeholders(int n) {
  std::string text;
  for (int i = 0; i < n; ++i)
    text += i ? ", ?" : "?";
  return text;
}

std::string Describe(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

struct flock RecorderByte(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = kRecorderLockByte;
  lock.l_len = 1;
  return lock;
}

void LockRecorderByte(int fd) {
  struct flock lock = RecorderByte(F_WRLCK);
  ::fcntl(fd, F_OFD_SETLK, &lock);
}

bool RecorderByteHeld(int fd) {
  struct flock lock = RecorderByte(F_RDLCK);
  return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// The files this process records into, by device and inode. Closing any descriptor of such a
// file would drop the POSIX locks that SQLite holds on it for the recorder (they belong to the
// process, not to a descriptor), so the store's code opens none beside the recorder's, and a
// descriptor it opened before the recording began is closed only once the recording ends.
struct RecordingFiles {
  struct File {
    int recorders = 0;
    std::vector<posix::UniqueFd> parked;  // closed when the last recorder has closed
  };
  std::mutex mutex;
  std::map<std::pair<dev_t, ino_t>, File> files;
};

RecordingFiles& Recording() {
  static RecordingFiles files;
  return files;
}

bool RecordingHere(dev_t dev, ino_t ino) {
  RecordingFiles& r = Recording();
  std::lock_guard lock(r.mutex);
  return r.files.count({dev, ino}) > 0;
}

// Closes a descriptor of a store, or keeps it open until this process stops recording into it.
void CloseBesideRecorder(posix::UniqueFd& fd) {
  struct stat st {};
  if (fd && ::fstat(fd.Get(), &st) == 0) {
    RecordingFiles& r = Recording();
    std::lock_guard lock(r.mutex);
    if (const auto it = r.files.find({st.st_dev, st.st_ino}); it != r.files.end()) {
      it->second.parked.push_back(std::move(fd));
      return;
    }
  }
  fd.Reset();
}

// What /proc/locks lists on one file: the holder of its flock, and whether an open-file-
// description lock covers the recorder's byte.
struct ListedLocks {
  bool flock = false;
  int flockPid = 0;
  bool recorderByte = false;
};

// False when the list cannot be read.
bool ReadListedLocks(dev_t dev, ino_t ino, ListedLocks& found) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> list(std::fopen("/proc/locks", "re"),
                                                       &std::fclose);
  if (!list)
    return false;
  char line[256];
  while (std::fgets(line, sizeof line, list.get())) {
    // "2: FLOCK  ADVISORY  WRITE 1234 fe:00:10953154 0 EOF"; a waiting lock has "->" for its
    // kind, and does not match.
    char kind[16] = {}, end[24] = {};
    long pid = 0;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0, start = 0;
    if (std::sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%llu %llu %23s", kind, &pid, &major, &minor,
                    &inode, &start, end) != 7 ||
        major != ::major(dev) || minor != ::minor(dev) || inode != ino)
      continue;
    if (std::strcmp(kind, "FLOCK") == 0) {
      found.flock = true;
      found.flockPid = static_cast<int>(pid);
    } else if (std::strcmp(kind, "OFDLCK") == 0 &&
               start <= static_cast<unsigned long long>(kRecorderLockByte) &&
               (std::strcmp(end, "EOF") == 0 ||
                std::strtoull(end, nullptr, 10) >=
                    static_cast<unsigned long long>(kRecorderLockByte))) {
      found.recorderByte = true;
    }
  }
  return true;
}

// The path as an SQLite URI, with the characters that end or escape a URI's path escaped.
std::string FileUri(const std::string& path) {
  std::string uri = "file:";
  for (const char c : std::filesystem::absolute(path).lexically_normal().string()) {
    if (c == '%' || c == '?' || c == '#') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      uri += escaped;
    } else {
      uri += c;
    }
  }
  return uri;
}

}  // namespace

struct RecordStore::Queued {
  struct QueuedSample {
    int64_t session;
    int64_t tUs;
    StoredValues values;
    bool afterGap;
  };
  struct QueuedGap {
    int64_t id;
    int64_t session;
    GapRecord gap;
  };
  struct QueuedEvent {
    int64_t session;
    EventRecord event;
  };
  struct QueuedEnd {
    int64_t session;
    int64_t startUnixUs;
    SessionEnd end;
  };
  struct QueuedSession {
    int64_t id;
    SessionStart start;
  };
  std::vector<QueuedSession> sessions;
  std::vector<QueuedSample> samples;
  std::vector<QueuedGap> openedGaps;
  std::vector<QueuedGap> closedGaps;
  std::vector<QueuedEvent> events;
  std::vector<QueuedEnd> ends;
  int64_t startUnixUs = 0;  // of the running session

  bool Empty() const {
    return sessions.empty() && samples.empty() && openedGaps.empty() && closedGaps.empty() &&
           events.empty() && ends.empty();
  }
  void Clear() {
    sessions.clear();
    samples.clear();
    openedGaps.clear();
    closedGaps.clear();
    events.clear();
    ends.clear();
  }
};

// What the recording connections of one file share: its lock, and the ids they hand out, so
// that no two of them give a session or a gap the same one.
struct RecordStore::Shared {
  ~Shared() {
    if (!registered)
      return;
    // Every connection of the recorder has closed: the parked descriptors may go, then the lock.
    std::vector<posix::UniqueFd> parked;
    RecordingFiles& r = Recording();
    std::lock_guard guard(r.mutex);
    if (const auto it = r.files.find({dev, ino});
        it != r.files.end() && --it->second.recorders == 0) {
      parked = std::move(it->second.parked);
      r.files.erase(it);
    }
  }
  void Register() {
    struct stat st {};
    if (::fstat(lock.Get(), &st) != 0)
      return;
    dev = st.st_dev;
    ino = st.st_ino;
    RecordingFiles& r = Recording();
    std::lock_guard guard(r.mutex);
    ++r.files[{dev, ino}].recorders;
    registered = true;
  }

  posix::UniqueFd lock;
  dev_t dev = 0;
  ino_t ino = 0;
  bool registered = false;
  bool created = false;  // OpenForRecording made the file
  std::mutex mutex;
  int connections = 0;
  int64_t nextSessionId = 0;  // 0 until the first session asks
  int64_t nextGapId = 1;
};

RecordStore::RecordStore() : queued_(std::make_unique<Queued>()) {}

RecordStore::~RecordStore() {
  if (shared_ && db_) {
    // Under the mutex, so that the last connection finds the others closed.
    std::lock_guard lock(shared_->mutex);
    if (--shared_->connections == 0)
      LeaveAsOneFile();
    db_.reset();
  }
  // The connection first: the lock's descriptor may only go once SQLite holds no locks, so the
  // last connection of the file closes it.
  db_.reset();
  journal_.Reset();
  CloseBesideRecorder(file_);
  shared_.reset();
}

void RecordStore::LeaveAsOneFile() {
  // Everything into the main file, then back to a rollback journal: no -wal or -shm file stays
  // beside it, and a reader needs no write access to its folder. A reader that has the file
  // open keeps it in WAL mode (SQLite waits for no one here), so it gets a moment to finish;
  // should it hold on longer, the file stays in WAL mode, as intact.
  for (int attempt = 0; attempt < 20; ++attempt) {
    Exec("PRAGMA wal_checkpoint(TRUNCATE)");
    Statement mode(db_.get(), "PRAGMA journal_mode=DELETE");
    if (mode && mode.Step() && mode.Text(0) == "delete")
      return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool RecordStore::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, &message) == SQLITE_OK)
    return true;
  lastError_ = message ? message : sqlite3_errmsg(db_.get());
  sqlite3_free(message);
  return false;
}

namespace {

// Empty when the file may be handed to SQLite: missing, empty, or an SQLite database. wal: the
// database is in WAL mode.
std::string CheckHeader(int fd, const std::string& path, bool* wal = nullptr) {
  char header[20] = {};
  const ssize_t n = posix::RetryOnSignal([&] { return ::pread(fd, header, sizeof header, 0); });
  if (n == 0)
    return {};
  if (n < 0)
    return Describe(path, errno);
  if (n < 16 || std::memcmp(header, "SQLite format 3", 16) != 0)
    return path + " is not an SQLite database";
  if (wal)
    *wal = n == sizeof header && header[18] == 2;
  return {};
}

}  // namespace

StoreOpenResult RecordStore::OpenForRecording(const std::string& path,
                                              const UpgradeProgress& progress) {
  path_ = path;
  std::error_code ec;
  const bool existed = std::filesystem::exists(path, ec);
  if (existed && !std::filesystem::is_regular_file(path, ec))
    return {StoreError::kUsage, path + " is not a file"};
  posix::UniqueFd fd(posix::RetryOnSignal(
      [&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644); }));
  if (!fd)
    return {StoreError::kFailed, "cannot write " + Describe(path, errno)};
  // Made here and unusable: leave nothing behind.
  const auto fail = [&](StoreError error, std::string message) {
    CloseBesideRecorder(fd);  // a recorder of this process may hold the file
    db_.reset();
    if (!existed)
      ::unlink(path.c_str());
    shared_.reset();
    return StoreOpenResult{error, std::move(message)};
  };
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK)
      return fail(StoreError::kFailed, "cannot lock " + Describe(path, errno));
    const auto holder = FindStoreHolder(path);
    return fail(StoreError::kBusy,
                path + " is being recorded into by " +
                    (holder ? holder->program + " (process " + std::to_string(holder->pid) + ")"
                            : std::string("another recorder")));
  }
  // Where the file system has no such locks, recording goes on; readers then cannot tell a
  // running session from an unfinished one.
  LockRecorderByte(fd.Get());
  shared_ = std::make_shared<Shared>();
  shared_->lock = std::move(fd);
  shared_->Register();
  shared_->created = !existed;
  if (std::string bad = CheckHeader(shared_->lock.Get(), path); !bad.empty())
    return fail(StoreError::kUsage, bad);
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  db_.reset(db);
  if (rc != SQLITE_OK)
    return fail(StoreError::kFailed, path + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
  StoreOpenResult result = CheckAndPrepare(true, progress);
  if (result.error != StoreError::kNone)
    return fail(result.error, result.message);
  shared_->connections = 1;
  return result;
}

StoreOpenResult RecordStore::OpenAlongside(const RecordStore& first) {
  path_ = first.path_;
  if (!first.shared_ || !first.db_)
    return {StoreError::kUsage, path_ + " is not open for recording"};
  shared_ = first.shared_;
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  db_.reset(db);
  StoreOpenResult result =
      rc == SQLITE_OK ? CheckAndPrepare(true)
                      : StoreOpenResult{StoreError::kFailed,
                                        path_ + ": " + (db ? sqlite3_errmsg(db) : "out of memory")};
  if (result.error != StoreError::kNone) {
    db_.reset();
    shared_.reset();
  } else {
    std::lock_guard lock(shared_->mutex);
    ++shared_->connections;
  }
  return result;
}

StoreOpenResult RecordStore::OpenForReading(const std::string& path) {
  path_ = path;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    return {StoreError::kFailed, "cannot read " + Describe(path, errno)};
  // When this process records into the file, its recorder has checked it and keeps it in WAL
  // mode; a descriptor of our own would have to stay open until the recording ends.
  const bool recordedHere = RecordingHere(st.st_dev, st.st_ino);
  bool wal = false;
  if (!recordedHere) {
    file_.Reset(posix::RetryOnSignal([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!file_)
      return {StoreError::kFailed, "cannot read " + Describe(path, errno)};
    if (std::string bad = CheckHeader(file_.Get(), path, &wal); !bad.empty()) {
      CloseBesideRecorder(file_);
      return {StoreError::kUsage, bad};
    }
  }
  // A store left in WAL mode without its log (by an older recorder) holds everything in the
  // main file. SQLite would create the log and its index beside it, which a read-only folder
  // refuses; so it is read as an unchanging file, unless a recorder may be writing it now.
  std::error_code ec;
  const bool immutable = wal && !std::filesystem::exists(path + "-wal", ec) && !BeingRecorded();
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(immutable ? (FileUri(path) + "?immutable=1").c_str() : path.c_str(), &db,
                      SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
  db_.reset(db);
  StoreOpenResult result =
      rc == SQLITE_OK ? CheckAndPrepare(false)
                      : StoreOpenResult{StoreError::kFailed,
                                        path + ": " + (db ? sqlite3_errmsg(db) : "out of memory")};
  if (result.error != StoreError::kNone) {
    db_.reset();
    CloseBesideRecorder(file_);
  }
  return result;
}

bool RecordStore::BeingRecorded() const {
  if (shared_)
    return true;
  return file_ ? RecorderByteHeld(file_.Get()) : StoreBeingRecorded(path_);
}

bool RecordStore::RemoveIfCreatedEmpty() {
  if (!shared_ || !shared_->created || !db_ || shared_.use_count() != 1 || HasQueued())
    return false;
  {
    Statement count(db_.get(), "SELECT count(*) FROM sessions");
    if (!count || !count.Step() || count.Int(0) != 0)
      return false;
  }
  db_.reset();
  journal_.Reset();
  for (const char* suffix : {"", "-wal", "-shm", "-journal"})
    ::unlink((path_ + suffix).c_str());
  shared_.reset();  // the lock goes once the file has
  return true;
}

StoreOpenResult RecordStore::CheckAndPrepare(bool forWriting, const UpgradeProgress& progress) {
  sqlite3_busy_timeout(db_.get(), 5000);
  int64_t objects = -1, applicationId = 0, version = 0;
  {
    Statement count(db_.get(), "SELECT count(*) FROM sqlite_schema");
    if (!count || !count.Step()) {
      const int code = sqlite3_errcode(db_.get());
      if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT)
        return {StoreError::kUsage, path_ + " is not an SQLite database"};
      return {StoreError::kFailed, path_ + ": " + sqlite3_errmsg(db_.get())};
    }
    objects = count.Int(0);
  }
  {
    Statement id(db_.get(), "PRAGMA application_id");
    if (id && id.Step())
      applicationId = id.Int(0);
    Statement v(db_.get(), "PRAGMA user_version");
    if (v && v.Step())
      version = v.Int(0);
  }
  if (objects == 0 && !forWriting)
    return {StoreError::kUsage, path_ + " holds no recording sessions (an empty database)"};
  if (objects > 0 && applicationId != kStoreApplicationId)
    return {StoreError::kUsage, path_ + " is an SQLite database of another program"};
  if (version > kStoreSchemaVersion)
    return {StoreError::kUsage, path_ + " was written by a newer version of this program"};
  if (!forWriting)
    return {};

  {
    Statement mode(db_.get(), "PRAGMA journal_mode=WAL");
    if (!mode || !mode.Step() || mode.Text(0) != "wal")
      return {StoreError::kFailed, path_ + ": cannot use a write-ahead journal here"};
  }
  // Each batch reaches the disk before the next one is taken: a power loss keeps them all.
  if (!Exec("PRAGMA synchronous=FULL"))
    return {StoreError::kFailed, path_ + ": " + lastError_};
  if (objects == 0) {
    const std::string create =
        "BEGIN IMMEDIATE; PRAGMA application_id=" + std::to_string(kStoreApplicationId) +
        "; PRAGMA user_version=" + std::to_string(kStoreSchemaVersion) + ";" + kSchema +
        PyramidTableSql() + "COMMIT;";
    if (!Exec(create.c_str())) {
      Exec("ROLLBACK");
      return {StoreError::kFailed, path_ + ": " + lastError_};
    }
  }
  if (objects > 0 && version < kStoreSchemaVersion && !Upgrade(progress))
    return {StoreError::kFailed, path_ + ": cannot upgrade the store: " + lastError_};
  if (std::string error; !HasTitleColumn(db_.get()) && !AddTitleColumn(db_.get(), error))
    return {StoreError::kFailed, path_ + ": " + error};
  Statement gapId(db_.get(), "SELECT COALESCE(MAX(id), 0) + 1 FROM gaps");
  if (gapId && gapId.Step()) {
    // Another connection of this recorder may have handed out ids it has not written yet.
    std::lock_guard lock(shared_->mutex);
    shared_->nextGapId = std::max(shared_->nextGapId, gapId.Int(0));
  }
  return {};
}

bool RecordStore::Upgrade(const UpgradeProgress& progress) {
  if (!Exec("BEGIN IMMEDIATE"))
    return false;
  int64_t total = 0, done = 0;
  std::vector<int64_t> sessions;
  {
    Statement count(db_.get(), "SELECT COUNT(*) FROM samples");
    if (count && count.Step())
      total = count.Int(0);
    Statement ids(db_.get(), "SELECT id FROM sessions ORDER BY id");
    while (ids && ids.Step())
      sessions.push_back(ids.Int(0));
  }
  const std::string create = PyramidTableSql();
  bool ok = Exec(create.c_str());
  int rc = SQLITE_OK;
  for (size_t i = 0; ok && i < sessions.size(); ++i) {
    PyramidBuilder builder(sessions[i]);
    bool afterGap = false;
    std::string error;
    ok = Rows(
        sessions[i], INT64_MIN, INT64_MAX,
        [&](const StoredRow& row) {
          if (row.isGap) {
            afterGap = true;
            return true;
          }
          builder.Add(row.tUs, row.values, afterGap);
          afterGap = false;
          if (++done % 100000 == 0) {
            rc = WriteBuckets(db_.get(), sessions[i], builder.TakeChanged());
            if (progress)
              progress(done, total);
          }
          return rc == SQLITE_OK;
        },
        error);
    if (ok && rc == SQLITE_OK)
      rc = WriteBuckets(db_.get(), sessions[i], builder.TakeChanged());
    if (!error.empty())
      lastError_ = error;
    ok = ok && rc == SQLITE_OK;
  }
  if (ok)
    ok = Exec(("PRAGMA user_version=" + std::to_string(kStoreSchemaVersion)).c_str());
  if (!ok || rc != SQLITE_OK || !Exec("COMMIT")) {
    if (rc != SQLITE_OK)
      lastError_ = sqlite3_errmsg(db_.get());
    const std::string error = lastError_;
    Exec("ROLLBACK");
    lastError_ = error;
    return false;
  }
  if (progress)
    progress(total, total);
  return true;
}

bool HasTitleColumn(sqlite3* db) {
  Statement s(db, "SELECT 1 FROM pragma_table_info('sessions') WHERE name = 'title'");
  return s && s.Step();
}

bool AddTitleColumn(sqlite3* db, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db, "ALTER TABLE sessions ADD COLUMN title TEXT", nullptr, nullptr, &message) ==
      SQLITE_OK)
    return true;
  error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

std::optional<StoreHolder> FindStoreHolder(const std::string& path) {
  struct stat st {};
  ListedLocks locks;
  if (::stat(path.c_str(), &st) != 0 || !ReadListedLocks(st.st_dev, st.st_ino, locks) ||
      !locks.flock || locks.flockPid <= 0)
    return std::nullopt;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> comm(
      std::fopen(("/proc/" + std::to_string(locks.flockPid) + "/comm").c_str(), "re"),
      &std::fclose);
  char name[64] = {};
  if (!comm || !std::fgets(name, sizeof name, comm.get()))
    return std::nullopt;
  name[std::strcspn(name, "\n")] = '\0';
  if (name[0] == '\0')
    return std::nullopt;
  return StoreHolder{locks.flockPid, name};
}

bool StoreBeingRecorded(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    return false;
  if (RecordingHere(st.st_dev, st.st_ino))
    return true;
  if (ListedLocks locks; ReadListedLocks(st.st_dev, st.st_ino, locks))
    return locks.flock || locks.recorderByte;
  // Without /proc the recorder's byte is tested on a descriptor of our own; as this process does
  // not record into the file, closing it drops no recorder's locks.
  posix::UniqueFd fd(
      posix::RetryOnSignal([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  return fd && RecorderByteHeld(fd.Get());
}

bool RecordStore::HasPyramid() const {
  Statement s(db_.get(), "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = 'pyramid'");
  return s && s.Step();
}

std::vector<int64_t> RecordStore::CloseUnfinished(std::string& error) {
  std::vector<int64_t> closed;
  std::vector<std::pair<int64_t, int64_t>> open;  // id, start
  {
    Statement find(db_.get(), "SELECT id, start_unix_us FROM sessions WHERE ended IS NULL");
    while (find && find.Step())
      open.emplace_back(find.Int(0), find.Int(1));
  }
  for (const auto& [id, start] : open) {
    if (!Exec("BEGIN IMMEDIATE")) {
      error = lastError_;
      return closed;
    }
    int64_t end = 0;
    {
      Statement last(
          db_.get(),
          "SELECT MAX(COALESCE((SELECT MAX(t_us) FROM samples WHERE session_id = ?1), 0),"
          " COALESCE((SELECT MAX(from_us) FROM gaps WHERE session_id = ?1), 0))");
      last.Bind(1, id);
      if (last && last.Step())
        end = last.Int(0);
    }
    Statement gaps(
        db_.get(),
        "UPDATE gaps SET to_us = MAX(from_us, ?1) WHERE session_id = ?2 AND to_us IS NULL");
    gaps.Bind(1, end);
    gaps.Bind(2, id);
    Statement session(db_.get(),
                      "UPDATE sessions SET end_t_us = ?1, end_utc = ?2, ended = 'interrupted' "
                      "WHERE id = ?3");
    session.Bind(1, end);
    session.Bind(2, FormatUtc(start + end));
    session.Bind(3, id);
    Statement summary(db_.get(),
                      "UPDATE summaries SET "
                      "gaps = (SELECT COUNT(*) FROM gaps WHERE session_id = ?1), "
                      "gap_seconds = (SELECT COALESCE(SUM(to_us - from_us), 0) / 1e6 FROM gaps "
                      "WHERE session_id = ?1), "
                      "duration_seconds = ?2 / 1e6, "
                      "coverage = CASE WHEN ?2 > 0 THEN MIN(1.0, covered_seconds * 1e6 / ?2) "
                      "ELSE 0 END "
                      "WHERE session_id = ?1");
    summary.Bind(1, id);
    summary.Bind(2, end);
    if (gaps.Run() != SQLITE_OK || session.Run() != SQLITE_OK || summary.Run() != SQLITE_OK ||
        !Exec("COMMIT")) {
      error = sqlite3_errmsg(db_.get());
      Exec("ROLLBACK");
      return closed;
    }
    closed.push_back(id);
  }
  return closed;
}

void RecordStore::BeginSession(const SessionStart& start) {
  if (!shared_)
    shared_ = std::make_shared<Shared>();
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->nextSessionId == 0) {
      Statement next(db_.get(), "SELECT COALESCE(MAX(id), 0) + 1 FROM sessions");
      shared_->nextSessionId = next && next.Step() ? next.Int(0) : 1;
    }
    sessionId_ = shared_->nextSessionId++;
  }
  queued_->sessions.push_back({sessionId_, start});
  gapSincePrevious_ = false;
  queued_->startUnixUs = start.wallStartNs / 1000;
}

void RecordStore::Sample(int64_t tNs, const ReadingsRecord& readings) {
  queued_->samples.push_back({sessionId_, tNs / 1000, ToStored(readings), gapSincePrevious_});
  gapSincePrevious_ = false;
}

void RecordStore::GapOpened(int64_t fromNs, const std::string& cause) {
  if (!shared_)
    shared_ = std::make_shared<Shared>();
  std::lock_guard lock(shared_->mutex);
  openGapId_ = shared_->nextGapId++;
  gapSincePrevious_ = true;
  queued_->openedGaps.push_back({openGapId_, sessionId_, {fromNs, fromNs, cause}});
}

void RecordStore::GapClosed(const GapRecord& gap) {
  queued_->closedGaps.push_back({openGapId_, sessionId_, gap});
  gapSincePrevious_ = true;
}

void RecordStore::Event(const EventRecord& event) {
  queued_->events.push_back({sessionId_, event});
}

void RecordStore::EndSession(const SessionEnd& end) {
  queued_->ends.push_back({sessionId_, queued_->startUnixUs, end});
}

bool RecordStore::HasQueued() const {
  return !queued_->Empty();
}

void RecordStore::DropQueuedSamples() {
  queued_->samples.clear();
}

std::optional<uint64_t> RecordStore::FreeBytes(const std::string& path) {
  std::filesystem::path folder = std::filesystem::absolute(path).parent_path();
  struct statvfs fs {};
  if (::statvfs(folder.c_str(), &fs) != 0)
    return std::nullopt;
  return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
}

bool RecordStore::ReserveJournalRoom(bool& full) {
  full = false;
  if (!journal_) {
    journal_.Reset(::open((path_ + "-wal").c_str(), O_RDWR | O_CLOEXEC));
    if (!journal_)
      return true;
  }
  struct stat st {};
  if (::fstat(journal_.Get(), &st) != 0)
    return true;
  if (::fallocate(journal_.Get(), FALLOC_FL_KEEP_SIZE, 0, st.st_size + kJournalReserve) != 0 &&
      errno == ENOSPC) {
    full = true;
  }
  return true;
}

namespace {

void BindSummary(Statement& s, int first, const Summary& m) {
  int i = first;
  s.Bind(i++, m.samples);
  s.Bind(i++, m.repeated);
  s.Bind(i++, m.framesLost);
  s.Bind(i++, m.gaps);
  s.Bind(i++, m.gapSeconds);
  s.Bind(i++, m.coveredSeconds);
  s.Bind(i++, m.durationSeconds);
  s.Bind(i++, m.coverage);
  s.Bind(i++, m.energyWh);
  s.Bind(i++, m.chargeMah);
  for (const QuantityStats& q : m.quantities) {
    if (q.count == 0) {
      s.BindNull(i++);
      s.BindNull(i++);
      s.BindNull(i++);
    } else {
      s.Bind(i++, q.min);
      s.Bind(i++, q.max);
      s.Bind(i++, q.Mean());
    }
  }
}

}  // namespace

bool RecordStore::WriteQueued(const std::optional<Summary>& running) {
  Queued& q = *queued_;
  sqlite3* db = db_.get();
  if (!Exec("BEGIN IMMEDIATE")) {
    lastErrorCode_ = sqlite3_errcode(db);
    return false;
  }
  int rc = SQLITE_OK;
  const auto ok = [&] { return rc == SQLITE_OK; };
  // The pyramid as it stood, should this batch not be written.
  const PyramidBuilder pyramidBefore = pyramid_;
  {
    Statement s(db,
                "INSERT INTO sessions (id, start_utc, start_unix_us, serial, firmware, settings) "
                "VALUES (?, ?, ?, ?, ?, ?)");
    for (size_t i = 0; ok() && i < q.sessions.size(); ++i) {
      const auto& [id, start] = q.sessions[i];
      s.Bind(1, id);
      s.Bind(2, FormatUtc(start.wallStartNs / 1000));
      s.Bind(3, start.wallStartNs / 1000);
      s.Bind(4, start.serial);
      s.Bind(5, start.firmware);
      s.Bind(6, start.settingsJson);
      rc = s.Run();
    }
  }
  if (ok() && !q.samples.empty()) {
    Statement s(db, "INSERT INTO samples (" + SampleColumns() + ") VALUES (" +
                        Placeholders(2 + kQuantityCount) + ")");
    for (size_t i = 0; ok() && i < q.samples.size(); ++i) {
      const auto& sample = q.samples[i];
      s.Bind(1, sample.session);
      s.Bind(2, sample.tUs);
      for (size_t k = 0; k < kQuantityCount; ++k)
        s.Bind(3 + static_cast<int>(k), sample.values[k]);
      rc = s.Run();
      if (ok() && sample.session != pyramid_.sessionId()) {
        rc = WriteBuckets(db, pyramid_.sessionId(), pyramid_.TakeChanged());
        pyramid_ = PyramidBuilder(sample.session);
      }
      pyramid_.Add(sample.tUs, sample.values, sample.afterGap);
    }
    if (ok())
      rc = WriteBuckets(db, pyramid_.sessionId(), pyramid_.TakeChanged());
  }
  if (ok() && !q.openedGaps.empty()) {
    Statement s(db, "INSERT INTO gaps (id, session_id, from_us, cause) VALUES (?, ?, ?, ?)");
    for (size_t i = 0; ok() && i < q.openedGaps.size(); ++i) {
      s.Bind(1, q.openedGaps[i].id);
      s.Bind(2, q.openedGaps[i].session);
      s.Bind(3, q.openedGaps[i].gap.fromNs / 1000);
      s.Bind(4, q.openedGaps[i].gap.cause);
      rc = s.Run();
    }
  }
  if (ok() && !q.closedGaps.empty()) {
    Statement s(db, "UPDATE gaps SET to_us = ?, cause = ? WHERE id = ?");
    for (size_t i = 0; ok() && i < q.closedGaps.size(); ++i) {
      s.Bind(1, q.closedGaps[i].gap.toNs / 1000);
      s.Bind(2, q.closedGaps[i].gap.cause);
      s.Bind(3, q.closedGaps[i].id);
      rc = s.Run();
    }
  }
  if (ok() && !q.events.empty()) {
    Statement s(db, "INSERT INTO events (session_id, t_us, kind, detail) VALUES (?, ?, ?, ?)");
    for (size_t i = 0; ok() && i < q.events.size(); ++i) {
      s.Bind(1, q.events[i].session);
      s.Bind(2, q.events[i].event.tNs / 1000);
      s.Bind(3, q.events[i].event.kind);
      s.Bind(4, q.events[i].event.detail);
      rc = s.Run();
    }
  }
  const std::string putSummary = "INSERT OR REPLACE INTO summaries (session_id, " +
                                 SummaryColumns() + ") VALUES (" +
                                 Placeholders(1 + kSummaryFields) + ")";
  if (ok() && !q.ends.empty()) {
    Statement end(db, "UPDATE sessions SET end_t_us = ?, end_utc = ?, ended = ? WHERE id = ?");
    Statement summary(db, putSummary);
    for (size_t i = 0; ok() && i < q.ends.size(); ++i) {
      const auto& e = q.ends[i];
      end.Bind(1, e.end.endNs / 1000);
      end.Bind(2, FormatUtc(e.startUnixUs + e.end.endNs / 1000));
      end.Bind(3, std::string(EndReasonText(e.end.reason)));
      end.Bind(4, e.session);
      rc = end.Run();
      if (ok()) {
        summary.Bind(1, e.session);
        BindSummary(summary, 2, e.end.summary);
        rc = summary.Run();
      }
    }
  }
  if (ok() && running && sessionId_ != 0) {
    Statement summary(db, putSummary);
    summary.Bind(1, sessionId_);
    BindSummary(summary, 2, *running);
    rc = summary.Run();
  }
  if (ok() && !Exec("COMMIT"))
    rc = sqlite3_errcode(db);
  if (!ok()) {
    lastError_ = sqlite3_errmsg(db);
    Exec("ROLLBACK");
    pyramid_ = pyramidBefore;
    // The error of the failed step, not that of the rollback.
    lastErrorCode_ = rc;
    return false;
  }
  q.Clear();
  return true;
}

RecordStore::FlushResult RecordStore::Flush(const std::optional<Summary>& running,
                                            uint64_t minFreeBytes) {
  if (queued_->Empty() && !running)
    return FlushResult::kOk;
  if (minFreeBytes > 0) {
    const auto free = FreeBytes(path_);
    if (free && *free < minFreeBytes) {
      lastError_ = "only " + std::to_string(*free / (1024 * 1024)) + " MiB free on the disk of " +
                   path_ + ", below --min-free";
      return FlushResult::kDiskFull;
    }
  }
  bool full = false;
  ReserveJournalRoom(full);
  if (full) {
    lastError_ = "the disk of " + path_ + " is full";
    return FlushResult::kDiskFull;
  }
  if (WriteQueued(running)) {
    busySince_.reset();
    return FlushResult::kOk;
  }
  if ((lastErrorCode_ & 0xFF) == SQLITE_BUSY) {
    // Another connection holds the write lock longer than SQLite waits: an edit deleting a long
    // session, a user's sqlite3 shell. The batch stays queued for the next flush, for a while.
    const auto now = std::chrono::steady_clock::now();
    if (!busySince_)
      busySince_ = now;
    if (now - *busySince_ < kBusyPatience)
      return FlushResult::kOk;
  }
  if ((lastErrorCode_ & 0xFF) == SQLITE_FULL) {
    lastError_ = "the disk of " + path_ + " is full";
    return FlushResult::kDiskFull;
  }
  lastError_ = path_ + ": " + lastError_;
  return FlushResult::kFailed;
}

void RecordStore::SetLockWait(std::chrono::milliseconds wait) {
  sqlite3_busy_timeout(db_.get(), static_cast<int>(wait.count()));
}

RecordStore::FlushResult RecordStore::FlushFinal() {
  if (queued_->Empty())
    return FlushResult::kOk;
  // Each attempt waits for the lock as long as SQLite does; another connection may hold it
  // longer (see Flush).
  const auto giveUp = std::chrono::steady_clock::now() + kBusyPatience;
  bool written = WriteQueued(std::nullopt);
  while (!written && (lastErrorCode_ & 0xFF) == SQLITE_BUSY &&
         std::chrono::steady_clock::now() < giveUp)
    written = WriteQueued(std::nullopt);
  if (written)
    return FlushResult::kOk;
  // No room for the last samples: the session's end matters more.
  DropQueuedSamples();
  if (WriteQueued(std::nullopt))
    return FlushResult::kOk;
  lastError_ = path_ + ": " + lastError_;
  return (lastErrorCode_ & 0xFF) == SQLITE_FULL ? FlushResult::kDiskFull : FlushResult::kFailed;
}

std::vector<StoredSession> RecordStore::Sessions(std::string& error) const {
  std::vector<StoredSession> sessions;
  Statement s(db_.get(),
              std::string("SELECT s.id, s.start_unix_us, s.end_t_us, s.ended, s.serial, "
                          "s.firmware, s.settings, ")
                      .append(HasTitleColumn(db_.get()) ? "s.title" : "NULL")
                      .append(", m.session_id, ") +
                  SummaryColumns() +
                  " FROM sessions s LEFT JOIN summaries m ON m.session_id = s.id ORDER BY s.id");
  if (!s) {
    error = sqlite3_errmsg(db_.get());
    return sessions;
  }
  while (s.Step()) {
    StoredSession r;
    r.id = s.Int(0);
    r.startUnixUs = s.Int(1);
    if (!s.IsNull(2))
      r.endUs = s.Int(2);
    if (!s.IsNull(3))
      r.ended = s.Text(3);
    r.serial = s.Text(4);
    r.firmware = s.Text(5);
    r.settingsJson = s.Text(6);
    r.title = s.Text(7);
    r.hasSummary = !s.IsNull(8);
    int i = 9;
    Summary& m = r.summary;
    m.samples = s.Int(i++);
    m.repeated = s.Int(i++);
    if (!s.IsNull(i))
      m.framesLost = s.Int(i);
    ++i;
    m.gaps = s.Int(i++);
    m.gapSeconds = s.Real(i++);
    m.coveredSeconds = s.Real(i++);
    m.durationSeconds = s.Real(i++);
    m.coverage = s.Real(i++);
    m.energyWh = s.Real(i++);
    m.chargeMah = s.Real(i++);
    for (QuantityStats& q : m.quantities) {
      q.count = s.IsNull(i) ? 0 : 1;
      q.min = s.Real(i++);
      q.max = s.Real(i++);
      q.sum = s.Real(i++);  // the mean, with a count of 1
    }
    sessions.push_back(std::move(r));
  }
  if (sqlite3_errcode(db_.get()) != SQLITE_OK && sqlite3_errcode(db_.get()) != SQLITE_DONE &&
      sqlite3_errcode(db_.get()) != SQLITE_ROW)
    error = sqlite3_errmsg(db_.get());
  return sessions;
}

bool RecordStore::Rows(int64_t sessionId, int64_t fromUs, int64_t toUs,
                       const std::function<bool(const StoredRow&)>& row, std::string& error) const {
  std::vector<StoredRow> gaps;
  {
    Statement g(db_.get(),
                "SELECT from_us, COALESCE(to_us, from_us), cause FROM gaps WHERE session_id = ? "
                "AND COALESCE(to_us, from_us) >= ? AND from_us <= ? ORDER BY from_us");
    if (!g) {
      error = sqlite3_errmsg(db_.get());
      return false;
    }
    g.Bind(1, sessionId);
    g.Bind(2, fromUs);
    g.Bind(3, toUs);
    while (g.Step()) {
      StoredRow r;
      r.isGap = true;
      r.tUs = g.Int(0);
      r.gapToUs = g.Int(1);
      r.gapCause = g.Text(2);
      gaps.push_back(std::move(r));
    }
  }
  Statement s(db_.get(), "SELECT " + SampleColumns() +
                             " FROM samples WHERE session_id = ? AND t_us BETWEEN ? AND ? "
                             "ORDER BY t_us");
  if (!s) {
    error = sqlite3_errmsg(db_.get());
    return false;
  }
  s.Bind(1, sessionId);
  s.Bind(2, fromUs);
  s.Bind(3, toUs);
  size_t nextGap = 0;
  StoredRow sample;
  while (s.Step()) {
    sample.tUs = s.Int(1);
    // A gap begins at the sample before it, so it follows that sample.
    while (nextGap < gaps.size() && gaps[nextGap].tUs < sample.tUs) {
      if (!row(gaps[nextGap++]))
        return true;
    }
    for (size_t k = 0; k < kQuantityCount; ++k) {
      const int column = 2 + static_cast<int>(k);
      sample.values[k] = s.IsNull(column) ? std::nullopt : std::optional<int64_t>(s.Int(column));
    }
    // Older stores kept the reading of a missing probe as a number.
    if (const auto& external = sample.values[kTempExternalIndex];
        external && *external < kNoProbeBelow * kQuantities[kTempExternalIndex].scale)
      sample.values[kTempExternalIndex].reset();
    if (!row(sample))
      return true;
  }
  const int code = sqlite3_errcode(db_.get());
  if (code != SQLITE_OK && code != SQLITE_DONE && code != SQLITE_ROW) {
    error = sqlite3_errmsg(db_.get());
    return false;
  }
  while (nextGap < gaps.size()) {
    if (!row(gaps[nextGap++]))
      return true;
  }
  return true;
}

}  // namespace vireo::record
