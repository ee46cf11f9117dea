#pragma once

#include <string>
#include <utility>
#include <variant>

// Why something failed or was refused, said the same way in every layer: a small code for a
// caller that acts on the kind of failure, and the words the log shows. Whatever can fail
// returns a Result or a Status with one of these. Two things keep a state of their own because
// they are streams, read or written a piece at a time: the side file a download grows in
// latches its first failure (failure() says it, as a Failure), and a web transfer's
// TransferResult keeps the status, the transport error and the end apart.
enum class Fault : unsigned char {
    NameTaken,   // something already stands at the name
    NotRegular,  // a link, a FIFO, a directory or a device stands where a plain file must
    System,      // the system refused: permissions, a full disk, an I/O error
    Replaced,    // the name no longer holds the file written there
    Unreachable, // no answer, or the connection broke: the network did not bring it whole
    Refused,     // what was read breaks a rule (an answer the request did not ask for, too)
    Cancelled,   // whoever waited gave up: a cancel, or a close
    CutShort,    // fewer bytes than announced came, after every reconnect allowed
    TooLong,     // more bytes than announced came
    NoEnd,       // every byte came, but the resource never ended
    NotSigned,   // the bytes are not the file the maker's signature names
    IsProgram,   // the name reaches the running updater itself
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
