#pragma once

// Content type of a file by its extension, from the system's MIME types
// table (/etc/mime.types, one media type per line followed by the
// extensions that map to it).

#include <QString>

namespace sendmail {

// The content type registered for the extension of `strFile`, else
// `strDefault`.
// The extension is the text after the last "." anywhere in `strFile`, so a
// "." in a folder name counts when the file name has none ("dir.v2/README"
// looks up "v2/README", which no table holds). A text without "." and a
// text ending in "." give `strDefault`. Extensions are matched without
// regard to letter case. When the table lists one extension under several
// types, the first line wins.
// The table format cannot register an extension with an empty type, so the
// result is "" only when `strDefault` is "". A missing or unreadable table
// reads as empty: every lookup gives `strDefault`. Never throws.
// The table is read once per path and kept; safe to call from any thread.
[[nodiscard]] QString
GetContentType(const QString &strFile,
               const QString &strDefault = QStringLiteral("application/octet-stream"));

// Points the lookup at another table file (tests); "" restores
// /etc/mime.types.
void SetMimeTypesPathForTesting(const QString &path);

} // namespace sendmail
