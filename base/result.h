// The house result type: an operation that can fail for a reason the user should hear returns
// its value, or an Error that carries a kind for code to branch on and a sentence for the user.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vireo {

// What went wrong, as far as code branches on it.
enum class ErrorKind {
  kNoDevice,    // not there: no meter is listed, or no such device node or file
  kPermission,  // the system refused this user access
  kBusy,        // another program holds it
  kUnplugged,   // the device went away while it was used
  kTimeout,     // no answer in time
  kNoSpace,     // no room left on the disk
  kIo,          // any other failure of the system or the device
  kInvalid,     // what was given is not what it must be (a file's content, a path, an argument)
};

// A failure: its kind, and a whole sentence with the cause ("permission denied on
// /dev/hidraw3"), lower case and without a full stop, so it can also follow a colon.
struct Error {
  ErrorKind kind = ErrorKind::kIo;
  std::string message;
  bool operator==(const Error&) const = default;
};

// A value or the Error that kept it from being made. value() is only for a result that is ok(),
// error() only for one that is not.
template <typename T>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<std::remove_cv_t<T>, Error>, "a Result holds a value or an Error");

 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return *std::get_if<0>(&state_);
  }
  const T& value() const& {
    assert(ok());
    return *std::get_if<0>(&state_);
  }
  T&& value() && {
    assert(ok());
    return std::move(*std::get_if<0>(&state_));
  }
  const Error& error() const {
    assert(!ok());
    return *std::get_if<1>(&state_);
  }

 private:
  std::variant<T, Error> state_;
};

// Success without a value, or the Error. A default-made one is a success.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const {
    assert(!ok());
    return *error_;
  }

 private:
  std::optional<Error> error_;
};

}  // namespace vireo
