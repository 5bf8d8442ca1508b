#include "tests/hidlink/fake_device.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace vireo::hidlink::testing {

namespace {

constexpr auto kPatience = std::chrono::seconds(5);

UniqueFd BoundSocket(const std::string& path) {
  const auto address = posix::UnixAddress(path);
  if (!address)
    throw std::runtime_error("socket path too long: " + path);
  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd || ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
    throw std::runtime_error("cannot bind " + path + ": " + std::strerror(errno));
  return fd;
}

void SendByte(int fd, uint8_t byte) {
  ::send(fd, &byte, 1, MSG_NOSIGNAL);
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "hidlink-XXXXXX").string();
  if (!::mkdtemp(pattern.data()))
    throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void MakeSocketFile(const std::string& path) {
  BoundSocket(path);
}

void FreeRecord::operator()(HidDeviceInfo* record) const {
  std::free(record);
}

std::unique_ptr<HidDeviceInfo, FreeRecord> RecordFor(const std::string& path) {
  std::unique_ptr<HidDeviceInfo, FreeRecord> record(
      static_cast<HidDeviceInfo*>(std::calloc(1, sizeof(HidDeviceInfo) + path.size() + 1)));
  if (!record)
    throw std::bad_alloc();
  std::memcpy(record->DevicePath, path.c_str(), path.size() + 1);
  return record;
}

QelHidHandle OpenPath(const std::string& path) {
  return QelHidOpen(RecordFor(path).get());
}

FakeDevice::FakeDevice(std::string path, Greeting greeting)
    : path_(std::move(path)),
      greeting_(greeting),
      listener_(BoundSocket(path_)),
      wake_(::eventfd(0, EFD_CLOEXEC)) {
  if (::listen(listener_.Get(), 8) != 0 || !wake_)
    throw std::runtime_error("cannot listen on " + path_);
  thread_ = std::thread([this] { Serve(); });
}

FakeDevice::~FakeDevice() {
  const uint64_t one = 1;
  if (::write(wake_.Get(), &one, sizeof one) == sizeof one)
    thread_.join();
  else
    thread_.detach();
  ::unlink(path_.c_str());
}

bool FakeDevice::Send(const Bytes& message) {
  std::lock_guard lock(mutex_);
  return client_ && ::send(client_.Get(), message.data(), message.size(), MSG_NOSIGNAL) ==
                        static_cast<ssize_t>(message.size());
}

void FakeDevice::HangUp() {
  std::lock_guard lock(mutex_);
  // The serving thread sees the end of the connection and closes it.
  if (client_)
    ::shutdown(client_.Get(), SHUT_RDWR);
}

std::vector<Bytes> FakeDevice::WaitForMessages(size_t count) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, kPatience, [&] { return messages_.size() >= count; });
  return messages_;
}

void FakeDevice::Serve() {
  for (;;) {
    int client;
    {
      std::lock_guard lock(mutex_);
      client = client_.Get();
    }
    pollfd fds[] = {{wake_.Get(), POLLIN, 0}, {client, POLLIN, 0}, {listener_.Get(), POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0)
      continue;
    if (fds[0].revents)
      return;
    // The old client first: a host that closed and opens again must be granted.
    if (fds[1].revents)
      Receive();
    if (fds[2].revents)
      Accept();
  }
}

void FakeDevice::Accept() {
  UniqueFd connection(posix::RetryOnSignal(
      [&] { return ::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC); }));
  if (!connection)
    return;
  switch (greeting_) {
    case Greeting::kGrant: {
      std::lock_guard lock(mutex_);
      if (client_) {
        SendByte(connection.Get(), 0x00);
        return;
      }
      SendByte(connection.Get(), 0x01);
      client_ = std::move(connection);
      return;
    }
    case Greeting::kRefuse:
      SendByte(connection.Get(), 0x00);
      return;
    case Greeting::kSilent:
      unanswered_.push_back(std::move(connection));
      return;
    case Greeting::kHangUp:
      return;
  }
}

void FakeDevice::Receive() {
  uint8_t buffer[4096];
  std::lock_guard lock(mutex_);
  const ssize_t n = posix::RetryOnSignal(
      [&] { return ::recv(client_.Get(), buffer, sizeof buffer, MSG_DONTWAIT); });
  if (n < 0 && errno == EAGAIN)
    return;
  if (n <= 0)
    client_.Reset();
  else
    messages_.emplace_back(buffer, buffer + n);
  changed_.notify_all();
}

}  // namespace vireo::hidlink::testing
