// The resolver's process-wide state and the substitutions tests rely on.
#include "dns/mx_internal.h"

namespace modMXQuery {

QStringList NameServers;
qint32 NameServerCount = 0;
QString DefaultDomain;
QString BaseDomain;
QString QueryDomain;
QString BestExchange;
std::optional<MXQueryError> LastFailure;

namespace {

struct Substitutions {
    std::shared_ptr<SystemConfiguration> configuration;
    quint16 port = kDnsPort;
    std::chrono::milliseconds timeout = kDefaultAnswerTimeout;
    SocketLibraryHooks hooks;
};

Substitutions &substitutions() {
    static Substitutions s;
    return s;
}

} // namespace

void ResetModuleState() {
    NameServers.clear();
    NameServerCount = 0;
    DefaultDomain.clear();
    BaseDomain.clear();
    QueryDomain.clear();
    BestExchange.clear();
    LastFailure.reset();
}

void SetSystemConfiguration(std::shared_ptr<SystemConfiguration> Configuration) {
    substitutions().configuration = std::move(Configuration);
}

void SetServerPort(quint16 Port) {
    substitutions().port = Port ? Port : kDnsPort;
}

void SetAnswerTimeout(std::chrono::milliseconds Timeout) {
    substitutions().timeout = Timeout.count() > 0 ? Timeout : kDefaultAnswerTimeout;
}

void SetSocketLibraryHooks(SocketLibraryHooks Hooks) {
    substitutions().hooks = std::move(Hooks);
}

namespace internal {

SystemConfiguration &configuration() {
    auto &c = substitutions().configuration;
    if (!c)
        c = std::make_shared<LinuxSystemConfiguration>();
    return *c;
}

quint16 serverPort() {
    return substitutions().port;
}

std::chrono::milliseconds answerTimeout() {
    return substitutions().timeout;
}

SocketLibrarySession::SocketLibrarySession() {
    // Linux sockets need no library start; a hook stands in for it so tests
    // can count the pairing and make the start fail.
    const auto &hooks = substitutions().hooks;
    started_ = hooks.Start ? hooks.Start() : true;
    stop_ = hooks.Stop;
}

SocketLibrarySession::~SocketLibrarySession() {
    if (started_ && stop_)
        stop_();
}

QString trimSpaces(const QString &text) {
    qsizetype begin = 0, end = text.size();
    while (begin < end && text[begin] == QLatin1Char(' '))
        ++begin;
    while (end > begin && text[end - 1] == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace internal

} // namespace modMXQuery
