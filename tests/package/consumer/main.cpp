// Creates the component from the installed package, checks a default and
// an address check, composes a message, resolves an OAuth provider, stores
// a message in an outbox, and prints OK.
#include "mail/compose.h"
#include "mail/send_mail.h"
#include "oauth/provider.h"
#include "outbox/queue_folder.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    clsSendMail mail;
    if (mail.SMTPPort() != 25) {
        std::puts("wrong default port");
        return 1;
    }
    if (!mail.IsValidEmailAddress("someone@example.com") || mail.IsValidEmailAddress("no-at")) {
        std::puts("wrong address check");
        return 1;
    }
    mail.setFrom("me@example.com");
    mail.setRecipient("you@example.com");
    mail.setSubject("Packaged");
    mail.setMessage("Hello\r\n");
    bool subject = false;
    for (const sendmail::Transmission &t : sendmail::ComposeMessage(mail.ComposeDraft())) {
        subject = subject || t.text.contains("Subject: Packaged\r\n");
    }
    if (!subject) {
        std::puts("no subject line");
        return 1;
    }
    oauth::Settings settings;
    settings.provider = "microsoft";
    settings.clientId = "my-own-client";
    const oauth::Resolved oauthConfig = oauth::Resolve("work", settings);
    if (!oauthConfig.config || oauthConfig.config->tokenUrl.scheme() != "https") {
        std::puts("no OAuth configuration");
        return 1;
    }
    QTemporaryDir dir;
    outbox::QueueFolder queue(dir.filePath("queue"));
    QString error;
    QBuffer message;
    message.setData("Subject: Packaged\r\n\r\nHello\r\n");
    message.open(QIODevice::ReadOnly);
    if (!queue.open(&error) ||
        !queue.store(message, {"", "me@example.com", {"you@example.com"}}).ok() ||
        queue.list().size() != 1) {
        std::puts("no outbox");
        return 1;
    }
    std::puts("OK");
    return 0;
}
