// The bytes that follow DATA, written without a server: the composed
// message walked as the component's send operation walks it (mail/compose.h),
// with the attachment files streamed the same way, in Base64 blocks of
// sendmail::kBase64ChunkBytes or uuencoded lines of sendmail::kUULineBytes.
// The result is exactly what goes on the wire: CRLF line ends, lines that
// begin with "." doubled, ending with the line ".".
#pragma once

#include "mime/compose.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

namespace kelmsend {

// Takes the next bytes; false when they could not be written.
using ByteSink = std::function<bool(const QByteArray &bytes)>;

// Writes the message of `draft` to `sink`. `attachmentPaths[i]` is the file
// of attachment i (the component's Attachment entries). Returns "" on
// success, otherwise what went wrong (a file that cannot be read, a sink
// that refuses bytes); the sink may then hold part of the message.
[[nodiscard]] QString WriteWireMessage(const sendmail::MessageDraft &draft,
                                       const QStringList &attachmentPaths, const ByteSink &sink);

} // namespace kelmsend
