// Events as bound methods: a receiver and a function, as the class library's method pointers.
// Two events compare equal when their functions are equal, whatever the receiver; binding the
// same member function always yields the same function, so "the same handler of another
// receiver" compares equal too. Trivially copyable; binding and calling allocate nothing.
#pragma once

#include <cstddef>

namespace nuv::hid {

template <class Signature>
class TMethod;

template <class R, class... Args>
class TMethod<R(Args...)> {
 public:
  using CodeType = R (*)(void* data, Args... args);

  constexpr TMethod() noexcept = default;
  constexpr TMethod(std::nullptr_t) noexcept {}  // NOLINT: "none" converts implicitly
  constexpr TMethod(void* data, CodeType code) noexcept : data_(data), code_(code) {}

  // TMethod<...>::of<&TMainForm::ReportReceived>(form): the member function of `receiver`.
  template <auto Member, class Receiver>
  [[nodiscard]] static TMethod of(Receiver& receiver) noexcept {
    return TMethod(&receiver, &invokeMember<Member, Receiver>);
  }

  [[nodiscard]] bool Assigned() const noexcept { return code_ != nullptr; }
  explicit operator bool() const noexcept { return Assigned(); }
  [[nodiscard]] bool SameCode(const TMethod& other) const noexcept { return code_ == other.code_; }
  [[nodiscard]] CodeType Code() const noexcept { return code_; }
  [[nodiscard]] void* Data() const noexcept { return data_; }

  R operator()(Args... args) const { return code_(data_, args...); }

 private:
  template <auto Member, class Receiver>
  static R invokeMember(void* data, Args... args) {
    return (static_cast<Receiver*>(data)->*Member)(args...);
  }

  void* data_ = nullptr;
  CodeType code_ = nullptr;
};

}  // namespace nuv::hid
