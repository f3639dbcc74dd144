// Today's top-level domains: the ICANN section of the Public Suffix List
// (https://publicsuffix.org), read through libpsl. Debian keeps the list
// current in its "publicsuffix" package; psl_latest() takes that file when
// it is newer than the copy built into the library. libpsl (with libidn2 and
// libunistring) is loaded on the first question, so that a run that checks
// no address maps none of it; the header gives the types.
#include "mail/validation.h"

#include <dlfcn.h>
#include <libpsl.h>

namespace sendmail {

namespace {

decltype(&psl_is_public_suffix2) g_isPublicSuffix = nullptr;

const psl_ctx_t *PublicSuffixList() {
    // Loaded once per process and kept: the list is read-only and libpsl's
    // queries are thread-safe. Without the library no label is a top-level
    // domain, as with an empty list.
    static const psl_ctx_t *const list = []() -> const psl_ctx_t * {
        void *library = ::dlopen("libpsl.so.5", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (!library)
            return nullptr;
        const auto latest = reinterpret_cast<decltype(&psl_latest)>(::dlsym(library, "psl_latest"));
        const auto builtin =
            reinterpret_cast<decltype(&psl_builtin)>(::dlsym(library, "psl_builtin"));
        g_isPublicSuffix = reinterpret_cast<decltype(&psl_is_public_suffix2)>(
            ::dlsym(library, "psl_is_public_suffix2"));
        if (!latest || !builtin || !g_isPublicSuffix)
            return nullptr;
        const psl_ctx_t *found = latest(nullptr);
        return found ? found : builtin();
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
    return g_isPublicSuffix(list, name.constData(), PSL_TYPE_ICANN | PSL_TYPE_NO_STAR_RULE) != 0;
}

} // namespace sendmail
