#pragma once

#include <string>
#include <utility>
#include <variant>

// Why something failed or was refused, said the same way in every layer: a small code for a
// caller that acts on the kind of failure, and the words the log shows.
enum class Fault : unsigned char {
    NameTaken,   // something already stands at the name
    NotRegular,  // a link, a FIFO, a directory or a device stands where a plain file must
    System,      // the system refused: permissions, a full disk, an I/O error
    Replaced,    // the name no longer holds the file written there
    Unreachable, // the network did not bring it whole
    Refused,     // what was read breaks a rule
};

struct Failure {
    Fault fault = Fault::System;
    std::string text;
};

// A value, or the failure that left none.
template <typename T> class [[nodiscard]] Result {
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(Failure failure) : m_value(std::move(failure)) {}

    bool ok() const { return m_value.index() == 0; }
    explicit operator bool() const { return ok(); }
    T &operator*() { return std::get<0>(m_value); }
    const T &operator*() const { return std::get<0>(m_value); }
    T *operator->() { return &std::get<0>(m_value); }
    const T *operator->() const { return &std::get<0>(m_value); }
    const Failure &failure() const { return std::get<1>(m_value); }
    // The failure's words, or nothing when there was none.
    std::string text() const { return ok() ? std::string() : failure().text; }

private:
    std::variant<T, Failure> m_value;
};

// Done, or why not.
struct Success {};
using Status = Result<Success>;
