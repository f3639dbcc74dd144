// Today's top-level domains: the ICANN section of the Public Suffix List
// (https://publicsuffix.org), read through libpsl. Debian keeps the list
// current in its "publicsuffix" package; psl_latest() takes that file when
// it is newer than the copy built into the library.
#include "mail/validation.h"

#include <libpsl.h>

namespace sendmail {

namespace {

const psl_ctx_t *PublicSuffixList() {
    // Loaded once per process and kept: the list is read-only and libpsl's
    // queries are thread-safe.
    static const psl_ctx_t *const list = [] {
        const psl_ctx_t *latest = psl_latest(nullptr);
        return latest ? latest : psl_builtin();
    }();
    return list;
}

} // namespace

bool IsIcannTopLevelDomain(const QString &label) {
    if (label.isEmpty() || label.contains(QLatin1Char('.')))
        return false;
    const psl_ctx_t *list = PublicSuffixList();
    if (!list)
        return false;
    // The list is in lower case, its international names in both forms
    // ("рф" and "xn--p1ai"). Without the implicit "*" rule an unknown label
    // is not a suffix.
    const QByteArray name = label.toLower().toUtf8();
    return psl_is_public_suffix2(list, name.constData(), PSL_TYPE_ICANN | PSL_TYPE_NO_STAR_RULE) !=
           0;
}

} // namespace sendmail
