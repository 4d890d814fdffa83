// The errors of the client library.  Every one is a gnss::client::Error;
// what() is a complete sentence fit for a user ("STATUS_NOT_SUPPORTED
// (0xC00000BB)" for a status).
#pragma once

#include <stdexcept>
#include <string>

#include "gnss/protocol/status.h"

namespace gnss::client {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The driver (or the daemon) answered with a failure status.
class StatusError : public Error {
public:
    explicit StatusError(NTSTATUS status, const std::string& context = {})
        : Error(Describe(status, context)), status_(status) {}

    NTSTATUS status() const { return status_; }
    // "NAME (0xXXXXXXXX)", or "0xXXXXXXXX" for an unnamed value.
    static std::string Name(NTSTATUS status) {
        char buf[96];
        return FormatStatus(static_cast<std::uint32_t>(status), buf, sizeof buf);
    }

private:
    static std::string Describe(NTSTATUS status, const std::string& context) {
        return context.empty() ? Name(status) : context + ": " + Name(status);
    }
    NTSTATUS status_;
};

// The daemon cannot be reached, the connection was lost, or the daemon broke
// the protocol.
class ConnectionError : public Error {
public:
    using Error::Error;
};

// A synchronous request got no completion in time (it has been cancelled).
class TimeoutError : public Error {
public:
    using Error::Error;
};

// Bytes that do not hold the published structure, or values that do not fit in it.
class FormatError : public Error {
public:
    using Error::Error;
};

}  // namespace gnss::client
