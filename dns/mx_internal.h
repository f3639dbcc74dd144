// Shared between the resolver's source units; not part of its interface.
#pragma once

#include "dns/mx_query.h"

namespace modMXQuery::internal {

SystemConfiguration &configuration();
quint16 serverPort();
std::chrono::milliseconds answerTimeout();

// Starts the socket library for one network use and stops it again when it
// goes out of scope, once, and only if the start succeeded.
class SocketLibrarySession {
public:
    SocketLibrarySession();
    ~SocketLibrarySession();
    SocketLibrarySession(const SocketLibrarySession &) = delete;
    SocketLibrarySession &operator=(const SocketLibrarySession &) = delete;
    [[nodiscard]] bool started() const { return started_; }

private:
    bool started_ = false;
    std::function<void()> stop_;
};

// Removes leading and trailing space characters only (tabs and line breaks
// stay), the one trimming this module does.
QString trimSpaces(const QString &text);

} // namespace modMXQuery::internal
