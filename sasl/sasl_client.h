// The client side of SMTP authentication mechanisms (RFC 4954): which
// mechanism to use, and the responses to the server's challenges. Pure: no
// socket, no Base64 of the wire (the caller decodes each 334 challenge and
// encodes each response), so tests drive it with byte strings alone.
//
// Mechanisms: SCRAM-SHA-256 (RFC 7677), SCRAM-SHA-1 (RFC 5802), CRAM-MD5
// (RFC 2195), PLAIN (RFC 4616) and LOGIN through GNU SASL; XOAUTH2 and
// OAUTHBEARER (RFC 7628) are built here, being one formatted line each.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace sasl {

enum class Mechanism {
    ScramSha256,
    ScramSha1,
    CramMd5,
    Plain,
    Login,
    XOAuth2,
    OAuthBearer,
};

// The mechanism's name as it stands on the AUTH line ("SCRAM-SHA-256").
[[nodiscard]] QString MechanismName(Mechanism mechanism);

// The mechanism named `name` (letter case ignored), if it is one of ours.
[[nodiscard]] std::optional<Mechanism> MechanismFromName(const QString &name);

// The mechanisms a server offers, from its EHLO reply: the words after
// "AUTH" on every "250-AUTH ..." / "250 AUTH ..." line (letter case kept,
// duplicates dropped, in the order offered). The obsolete "AUTH=" form is
// read too.
[[nodiscard]] QStringList OfferedMechanisms(const QString &ehloReply);

// PLAIN, LOGIN, XOAUTH2 and OAUTHBEARER: the password or token itself
// travels (in Base64), readable by anyone who can read the connection.
[[nodiscard]] bool SendsClearSecret(Mechanism mechanism);

// What "AUTO" picks among `offered`: the strongest of ours in the order
// SCRAM-SHA-256, SCRAM-SHA-1, CRAM-MD5, PLAIN, LOGIN; with a token, XOAUTH2
// and OAUTHBEARER come first, and only then are they considered at all.
// PLAIN, LOGIN and the token mechanisms show the secret to anyone who can
// read the connection, so they are chosen only when
// `clearPasswordAllowed` (an encrypted connection, or one to a loopback
// address). std::nullopt when nothing fits.
[[nodiscard]] std::optional<Mechanism> ChooseMechanism(const QStringList &offered, bool haveToken,
                                                       bool clearPasswordAllowed);

// The most SCRAM iterations (the server's "i=") a client computes: about a
// second of one core. Servers use 4,096 to 15,000; a count above this is
// refused before any work, so a server cannot keep the caller busy for
// minutes past every time limit.
inline constexpr qint64 kMaxScramIterations = 1000000;

struct Credentials {
    QString user;
    QString password;
    QString token; // OAuth 2.0 bearer token (XOAUTH2, OAUTHBEARER)
    QString host;  // the server's name, for OAUTHBEARER
    quint16 port = 0;
};

// One exchange of one mechanism. Create it, send the AUTH line with
// initialResponse() when there is one (RFC 4954 initial response), then
// answer each 334 challenge with respond(). After the server's 235,
// finished() tells whether the mechanism is content (SCRAM checks the
// server's signature in its last challenge).
class Client {
public:
    Client(Mechanism mechanism, const Credentials &credentials);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    [[nodiscard]] Mechanism mechanism() const { return m_mechanism; }

    // The response that goes on the AUTH line itself, for the mechanisms
    // that begin with the client (PLAIN, XOAUTH2, OAUTHBEARER, and the
    // first message of SCRAM). std::nullopt for CRAM-MD5 and LOGIN, which
    // wait for the server's first challenge; also after a failure to start.
    [[nodiscard]] std::optional<QByteArray> initialResponse();

    // The answer to one decoded 334 challenge. std::nullopt when the
    // exchange cannot go on (a malformed challenge, a SCRAM server whose
    // signature does not match or that asks for more than
    // kMaxScramIterations, a library failure): error() says why, and
    // the caller cancels with "*" (RFC 4954 section 4).
    [[nodiscard]] std::optional<QByteArray> respond(const QByteArray &challenge);

    // True when the mechanism has nothing left to check: always for the
    // one-step mechanisms, and for SCRAM once the server's final message was
    // verified.
    [[nodiscard]] bool finished() const { return m_finished; }

    // Why the last call failed, in plain words; "" when none did.
    [[nodiscard]] QString error() const { return m_error; }

private:
    std::optional<QByteArray> libraryStep(const QByteArray &input);
    std::optional<QByteArray> bearerLine() const;

    Mechanism m_mechanism;
    Credentials m_credentials;
    struct Library;
    std::unique_ptr<Library> m_library;
    bool m_started = false;
    bool m_finished = false;
    QString m_error;
};

} // namespace sasl
