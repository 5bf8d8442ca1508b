// MemoryFile: a file's complete contents in one memory block, read and written in pieces.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vireo {

// Receives the user-facing text of a file error that happened after the file was opened
// (the GUI shows it in a message box). Errors before that are silent.
using FileErrorCallback = std::function<void(const std::string& message)>;

// The bytes that `MemoryFile::LoadFrom` copies: a length announced up front and sequential
// reads. A file in the program; tests inject sources that shrink or fail while being read.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Reads up to n bytes into dest: the count, 0 at the end, or -1 with errno set.
  virtual ssize_t Read(uint8_t* dest, std::size_t n) = 0;
};

// Bytes already in memory, as a ByteSource.
class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  uint64_t Size() const override { return size_; }
  ssize_t Read(uint8_t* dest, std::size_t n) override;

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t done_ = 0;
};

// Owns its block; `loaded` is 1 only between a successful Load and the next Free or Load.
class MemoryFile {
 public:
  // Files move through memory in pieces of at most this many bytes.
  static constexpr std::size_t kPieceSize = 61400;

  MemoryFile() = default;
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  virtual ~MemoryFile();

  // Replaces the block with the whole file. A file that cannot be opened, or is not a regular
  // file, fails silently; a failure after opening (read error, file ending early, no memory) is
  // reported to the error callback. On failure nothing is held.
  virtual bool Load(const std::string& path);
  // Writes the block to the file, replacing it. A file that cannot be created fails silently;
  // a write error is reported to the error callback.
  virtual bool Save(const std::string& path);
  // Releases the block: buffer null, length 0, loaded 0.
  virtual void Free();

  // Load's work after the file is open; exactly Size() bytes must arrive.
  bool LoadFrom(ByteSource& source);

  void SetErrorCallback(FileErrorCallback onError) { onError_ = std::move(onError); }

  const uint8_t* buffer() const { return buffer_.get(); }
  uint32_t length() const { return length_; }
  int loaded() const { return loaded_; }
  // The errno of the last Load that failed (0 after one that succeeded).
  int lastError() const { return error_; }

 private:
  bool FailLoad(int errorCode);
  void Report(const char* format, int errorCode) const;

  std::unique_ptr<uint8_t[]> buffer_;
  uint32_t length_ = 0;
  int loaded_ = 0;
  int error_ = 0;
  FileErrorCallback onError_;
};

}  // namespace vireo
