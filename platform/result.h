// The one way a call below the subsystems reports failure: a value, or the
// failure of the system call that stopped it.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace platform {

// What failed: the system call (or the step) by its name, the errno it left
// when there is one, and what it was working on when that helps a reader.
struct Failure {
    std::string call;      // "posix_spawn", "connect", "rename", …
    int error = 0;         // errno; 0 when the failure has none
    std::string subject;   // the path or program concerned; may be empty
    std::string reason;    // the whole description, when the errno's text alone would not do

    // The failure as a person reads it: the reason, else the system's text
    // for the errno, else the call's name.
    std::string description() const;
};

// A failure of `call` with the errno it left.
Failure failureOf(std::string call, int error, std::string subject = {});
// A failure of `call` described by `reason` (which may quote the errno's
// text); `error` is kept for callers that act on it.
Failure failureBecause(std::string call, std::string reason, std::string subject = {}, int error = 0);

// A value of type T, or the failure that kept the call from making one.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() { assert(ok()); return std::get<0>(state_); }
    const T& value() const { assert(ok()); return std::get<0>(state_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Failure& failure() const { assert(!ok()); return std::get<1>(state_); }

private:
    std::variant<T, Failure> state_;
};

// Success without a value, or the failure.
template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : failure_(std::move(failure)), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const Failure& failure() const { assert(failed_); return failure_; }

private:
    Failure failure_;
    bool failed_ = false;
};

} // namespace platform
