// The failure record of the parse core: a value or exactly one message.
//
// Readers never throw and never log. A failing step returns `fail(...)`, which
// converts to any Result<T>; callers hand an inner failure up unchanged with
// `pass_up`. The message is the whole failure: no code, no offset field, no
// chain of causes.
#pragma once

#include <cassert>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace quarn {

// Most failures are the file's (a malformed file); a few are the system's (the
// file cannot be opened, mapped or read to its end). The boundary picks the
// exception from the kind.
enum class FailureKind : unsigned char { Format, Io };

struct Failure {
  std::string message;
  FailureKind kind = FailureKind::Format;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Failure f) : v_(std::in_place_index<1>, std::move(f)) {}    // NOLINT

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& operator*() & noexcept { return *std::get_if<0>(&v_); }
  const T& operator*() const& noexcept { return *std::get_if<0>(&v_); }
  T&& operator*() && noexcept { return std::move(*std::get_if<0>(&v_)); }
  T* operator->() noexcept { return std::get_if<0>(&v_); }
  const T* operator->() const noexcept { return std::get_if<0>(&v_); }

  std::string& error() & noexcept { return std::get_if<1>(&v_)->message; }
  const std::string& error() const& noexcept { return std::get_if<1>(&v_)->message; }
  FailureKind failure_kind() const noexcept { return std::get_if<1>(&v_)->kind; }

 private:
  std::variant<T, Failure> v_;
};

// Result<void>: success carries nothing.
struct Ok {};
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Ok) {}                                     // NOLINT
  Result(Failure f) : failed_(true), kind_(f.kind), message_(std::move(f.message)) {}  // NOLINT

  bool has_value() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return !failed_; }
  std::string& error() & noexcept { return message_; }
  const std::string& error() const& noexcept { return message_; }
  FailureKind failure_kind() const noexcept { return kind_; }

 private:
  bool failed_ = false;
  FailureKind kind_ = FailureKind::Format;
  std::string message_;
};

using Status = Result<void>;

template <class T>
Failure pass_up(Result<T>& r) {
  return Failure{std::move(r.error()), r.failure_kind()};
}

// ---- message formatting: "{}" holes filled left to right ----

namespace detail {

inline void append_arg(std::string& out, std::string_view s) { out.append(s); }
inline void append_arg(std::string& out, const std::string& s) { out.append(s); }
inline void append_arg(std::string& out, const char* s) { out.append(s); }

template <class I>
  requires std::is_integral_v<I>
void append_arg(std::string& out, I value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;
  out.append(buf, end);
}

// Enumerations print by name: each provides `name_of(E)` found by lookup.
template <class E>
  requires std::is_enum_v<E>
void append_arg(std::string& out, E value) {
  out.append(name_of(value));
}

inline void format_into(std::string& out, std::string_view tmpl) { out.append(tmpl); }

template <class A, class... Rest>
void format_into(std::string& out, std::string_view tmpl, const A& a, const Rest&... rest) {
  auto hole = tmpl.find("{}");
  assert(hole != std::string_view::npos && "more arguments than holes");
  out.append(tmpl.substr(0, hole));
  append_arg(out, a);
  format_into(out, tmpl.substr(hole + 2), rest...);
}

}  // namespace detail

template <class... A>
std::string format(std::string_view tmpl, const A&... args) {
  std::string out;
  out.reserve(tmpl.size() + 16 * sizeof...(A));
  detail::format_into(out, tmpl, args...);
  return out;
}

template <class... A>
Failure fail(std::string_view tmpl, const A&... args) {
  return Failure{format(tmpl, args...)};
}

// A failure of the system rather than of the file's contents.
template <class... A>
Failure fail_io(std::string_view tmpl, const A&... args) {
  return Failure{format(tmpl, args...), FailureKind::Io};
}

}  // namespace quarn

// Early return of an inner failure, unchanged.
#define QUARN_TRY(expr)                                    \
  do {                                                     \
    if (auto quarn_try_r_ = (expr); !quarn_try_r_)         \
      return ::quarn::pass_up(quarn_try_r_);               \
  } while (0)
