#pragma once

#include "core/error.hpp"

#include <cassert>
#include <new>
#include <type_traits>
#include <utility>
#include <variant>

namespace corvane {

// A value or one Error. The subset of std::expected the code base uses; owned
// here because the fuzzing compiler's standard library has no std::expected.
// An Error converts implicitly, so `return Error::OutOfMemory;` reads naturally.
template <typename T> class [[nodiscard]] Result {
  static_assert(!std::is_same_v<std::remove_cv_t<T>, Error>,
                "a Result cannot carry an Error as its value");

public:
  using value_type = T;

  template <typename U = T, typename = std::enable_if_t<std::is_constructible_v<T, U &&>>>
  Result(U &&value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, error) {}

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T &value() & {
    assert(has_value());
    return *std::get_if<0>(&state_);
  }
  const T &value() const & {
    assert(has_value());
    return *std::get_if<0>(&state_);
  }
  T &&value() && {
    assert(has_value());
    return std::move(*std::get_if<0>(&state_));
  }
  Error error() const noexcept {
    assert(!has_value());
    return *std::get_if<1>(&state_);
  }

  template <typename U> T value_or(U &&fallback) const & {
    return has_value() ? value() : static_cast<T>(std::forward<U>(fallback));
  }

  T &operator*() & { return value(); }
  const T &operator*() const & { return value(); }
  T &&operator*() && { return std::move(*this).value(); }
  T *operator->() { return &value(); }
  const T *operator->() const { return &value(); }

private:
  std::variant<T, Error> state_;
};

template <> class [[nodiscard]] Result<void> {
public:
  Result() noexcept = default;
  Result(Error error) noexcept : failed_(true), error_(error) {}

  bool has_value() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return has_value(); }
  void value() const noexcept { assert(has_value()); }
  Error error() const noexcept {
    assert(!has_value());
    return error_;
  }

private:
  bool failed_ = false;
  Error error_ = Error::Unexpected;
};

// Runs an allocating step and turns std::bad_alloc into OutOfMemory: the
// boundary where running out of memory becomes an ordinary outcome.
template <typename F> auto catch_out_of_memory(F &&step) -> decltype(step()) {
  try {
    return step();
  } catch (const std::bad_alloc &) {
    return Error::OutOfMemory;
  }
}

} // namespace corvane
