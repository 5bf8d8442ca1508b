// Changing a store beside a recorder: a session's title, deleting a session; and writing the
// rows of a span as `export` does. The edits open a connection of their own that waits for the
// recorder's batches, so they work while a recorder (of this process or another) records into
// the store. They block meanwhile (seconds, to delete a long session): call them off the GUI
// thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "record/record_store.h"
#include "record/rows.h"

namespace vireo::record {

// Sets the title of a session (empty: none). False, with one line naming the file, when the
// store cannot be written or holds no such session.
bool RenameSession(const std::string& path, int64_t sessionId, const std::string& title,
                   std::string& error);
// Deletes a session with its samples, gaps, events and summary pyramid, in one transaction.
// Refused (false, with the reason) for a session that a recorder (this process or another)
// is recording now: one without an end in a store whose recorder lock is held.
bool DeleteSession(const std::string& path, int64_t sessionId, std::string& error);
// Writes the rows of [fromUs, toUs] of a session (CSV with its header, or JSON lines) exactly
// as `vireometer-cli export` writes them; false with the reason on a read or write error.
bool WriteRows(const RecordStore& store, int64_t sessionId, int64_t fromUs, int64_t toUs,
               RowFormat format, std::FILE* out, std::string& error);

}  // namespace vireo::record
