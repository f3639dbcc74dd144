// Light checks of e-mail addresses and host names, made when the owner
// assigns them.
//
// All of these are pure text operations: no lookup, no network. A host name
// passes when it is a dotted IPv4 address or when its last label occurs
// somewhere inside TopLevelDomains or is a top-level domain of the Public
// Suffix List (read from the machine's copy through libpsl); an address passes when it has exactly
// one
// "@" and the part after it passes as a host name. The part before the "@" is
// never examined. None of these functions fails: malformed input is simply
// not valid.
#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include "net/host_text.h"

namespace sendmail {

// The known top-level domains: 252 upper-case codes joined by single spaces,
// 762 characters. The last label of a host name is looked for as a plain
// substring of this text, so the order of the codes and the spaces between
// them matter: a fragment such as "OM" or "M O" is found just like a code.
extern const QString TopLevelDomains;

// True when AddressString splits at "@" into exactly two pieces and the
// second piece is a valid host name (IsValidHostName).
bool IsValidEmailAddress(const QString &AddressString);

// After removing leading and trailing spaces and converting to upper case:
// true for a dotted address (IsDottedAddress), or for a name with at least
// one "." whose last label occurs inside TopLevelDomains (an empty last
// label, from a trailing ".", counts as occurring) or is a top-level domain
// of today (IsIcannTopLevelDomain). An empty name is not valid. Labels may
// be outside ASCII ("пример.рф").
bool IsValidHostName(const QString &host);

// True when `label` (one label, any letter case) is a top-level domain of
// the ICANN section of the Public Suffix List: "dev", "info", "app", and the
// internationalized ones in either form ("рф", "xn--p1ai").
bool IsIcannTopLevelDomain(const QString &label);

// For each entry, in this order: remove leading and trailing spaces, remove
// every CR LF pair (a lone CR or LF stays), remove every tab. A space that
// stood before a removed CR LF or tab at the end of an entry therefore stays.
void NormalizeAddressList(QStringList &list);

} // namespace sendmail
