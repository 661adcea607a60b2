// A value, or the Error that prevented it: what every call that produces something and can fail
// returns, from opening a file to parsing a command line. A failure that is only a message (bad
// user input, say) is an Error::message(text); the caller prints error().text, or describe()
// when the error names a call.
//
// Calls that only succeed or fail return std::optional<nuv::Error> instead (empty on success).
#pragma once

#include <utility>
#include <variant>

#include "protocol/Error.h"

namespace nuv {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}      // NOLINT: implicit by design
  Result(Error error) : state_(std::move(error)) {}  // NOLINT: implicit by design

  [[nodiscard]] bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // Only when ok().
  [[nodiscard]] T& value() & { return std::get<0>(state_); }
  [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
  [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
  // Only when !ok().
  [[nodiscard]] const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

}  // namespace nuv
