// A scripted mail server for dialogue tests: a QTcpServer (on 127.0.0.1
// unless told otherwise) that plays a table of steps, in the same format as
// the component's trace.
//
//   S: text   reply line (text + CRLF); consecutive S lines go out in one write
//   R: text   raw write, with \r and \n escapes, on its own (a reply split
//             over two arrivals is R: ... W: 50 R: ...)
//   W: ms     pause
//   C: text   the client must send exactly this line next
//   D:        the client sends message data up to the line "."; kept in data()
//   X:        close the connection (a reset when followed by nothing else)
//   A:        wait for the next connection
//   H:        stop reading what the client sends (a stalled server)
//   F: text   flood: write text (with \r and \n escapes) over and over until
//             the client closes; the last step of a script, played once it
//             starts. What the client sends meanwhile is kept in received()
//             but not checked.
//
// Every test should end with EXPECT_TRUE(server.done()) and no errors(), so
// a client that stops early or sends one command too many fails.
#pragma once

#include <QElapsedTimer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

class FakeServer : public QObject {
public:
    explicit FakeServer(QStringList script, quint16 port = 0,
                        const QHostAddress &address = QHostAddress(QHostAddress::LocalHost))
        : m_Script(std::move(script)) {
        m_Listening = m_Server.listen(address, port);
        QObject::connect(&m_Server, &QTcpServer::newConnection, this, [this] { accept(); });
    }

    bool listening() const { return m_Listening; }
    quint16 port() const { return m_Server.serverPort(); }
    // A script that needs the port (it names it) is given once listening.
    void setScript(QStringList script) { m_Script = std::move(script); }
    bool done() const { return m_Pos >= m_Script.size(); }
    int position() const { return m_Pos; }
    const QStringList &errors() const { return m_Errors; }
    const QStringList &data() const { return m_Data; }
    // Every line the client sent, in order.
    const QStringList &received() const { return m_Received; }
    int connections() const { return m_Connections; }

private:
    void accept() {
        while (QTcpSocket *s = m_Server.nextPendingConnection()) {
            ++m_Connections;
            if (m_Client) {
                m_Client->deleteLater();
            }
            m_Client = s;
            m_Client->setParent(this);
            QObject::connect(m_Client, &QTcpSocket::readyRead, this, [this, s] {
                if (s == m_Client && !m_Holding) {
                    m_In += m_Client->readAll();
                    advance();
                }
            });
            if (m_Pos < m_Script.size() && m_Script[m_Pos] == QLatin1String("A:") &&
                m_Connections > 1) {
                ++m_Pos;
            }
            advance();
        }
    }

    void flush() {
        if (!m_Out.isEmpty() && m_Client) {
            m_Client->write(m_Out);
            m_Client->flush();
        }
        m_Out.clear();
    }

    bool takeLine(QString &line) {
        qsizetype end = m_In.indexOf("\r\n");
        if (end < 0) {
            return false;
        }
        line = QString::fromLatin1(m_In.left(end));
        m_In.remove(0, end + 2);
        m_Received << line;
        return true;
    }

    static QString unescape(QString text) { return text.replace("\\r", "\r").replace("\\n", "\n"); }

    // Keeps at most a few writes' worth queued, so the flood costs this
    // process little memory however long the client reads.
    void startFlood(const QByteArray &unit) {
        m_Flooding = true;
        QByteArray block;
        while (block.size() < 64 * 1024) {
            block += unit.isEmpty() ? QByteArray(" ") : unit;
        }
        QTcpSocket *client = m_Client;
        auto feed = [this, client, block] {
            while (client == m_Client && client->state() == QAbstractSocket::ConnectedState &&
                   client->bytesToWrite() < 4 * block.size()) {
                client->write(block);
            }
        };
        QObject::connect(client, &QTcpSocket::bytesWritten, this, feed);
        feed();
    }

    void advance() {
        if (m_Paused || !m_Client) {
            return;
        }
        if (m_Flooding) {
            QString line;
            while (takeLine(line)) {
            }
            return;
        }
        while (m_Pos < m_Script.size()) {
            const QString step = m_Script[m_Pos];
            const QString tag = step.left(2);
            const QString arg = step.mid(3);
            if (tag == "S:") {
                m_Out += arg.toLatin1() + "\r\n";
            } else if (tag == "R:") {
                flush();
                m_Client->write(unescape(arg).toLatin1());
                m_Client->flush();
            } else if (tag == "W:") {
                flush();
                m_Paused = true;
                ++m_Pos;
                QTimer::singleShot(arg.toInt(), this, [this] {
                    m_Paused = false;
                    advance();
                });
                return;
            } else if (tag == "C:") {
                flush();
                QString line;
                if (!takeLine(line)) {
                    return;
                }
                if (line != arg) {
                    m_Errors << QString("step %1: expected \"%2\", got \"%3\"")
                                    .arg(m_Pos)
                                    .arg(arg, line);
                }
            } else if (tag == "D:") {
                flush();
                QString line;
                bool ended = false;
                while (!ended && takeLine(line)) {
                    ended = line == ".";
                    if (!ended) {
                        m_Data << line;
                    }
                }
                if (!ended) {
                    return;
                }
            } else if (tag == "F:") {
                flush();
                startFlood(unescape(arg).toLatin1());
                ++m_Pos;
                return;
            } else if (tag == "X:") {
                flush();
                m_Client->abort();
                m_Client->deleteLater();
                m_Client = nullptr;
                ++m_Pos;
                return;
            } else if (tag == "A:") {
                flush();
                return;
            } else if (tag == "H:") {
                flush();
                // Qt stops taking bytes from the kernel once it holds one.
                m_Holding = true;
                m_Client->setReadBufferSize(1);
            } else {
                m_Errors << "bad script step: " + step;
            }
            ++m_Pos;
        }
        flush();
        QString extra;
        while (takeLine(extra)) {
            m_Errors << "client sent after the end of the script: \"" + extra + "\"";
        }
    }

    QTcpServer m_Server;
    QTcpSocket *m_Client = nullptr;
    QStringList m_Script;
    int m_Pos = 0;
    bool m_Paused = false;
    bool m_Flooding = false;
    bool m_Holding = false;
    bool m_Listening = false;
    int m_Connections = 0;
    QByteArray m_In;
    QByteArray m_Out;
    QStringList m_Errors;
    QStringList m_Data;
    QStringList m_Received;
};
