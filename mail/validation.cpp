#include "mail/validation.h"

namespace sendmail {

// Kept as one literal so that a change to any code, or to a separator, shows
// up as a change of this text.
const QString TopLevelDomains = QStringLiteral(
    "COM ORG NET EDU GOV MIL INT AF AL DZ AS AD AO AI AQ AG AR AM AW AC AU AT AZ BS BH BD BB "
    "BY BZ BT BJ BE BM BO BA BW BV BR IO BN BG BF BI KH CM CA CV KY CF TD CL CN CX CC CO KM "
    "CD CG CK CR CI HR CU CY CZ DK DJ DM DO TP EC EG SV GQ ER EE ET EU FK FO FJ FI FR GF PF "
    "TF GA GM GE DE GH GI GR GL GD GP GU GT GG GN GW GY HT HM VA HN HK HU IS IN ID IR IQ IE "
    "IM IL IT JM JP JE JO KZ KE KI KP KR KW KG LA LV LB LS LR LY LI LT LU MO MK MG MW MY MV "
    "ML MT MH MQ MR MU YT MX FM MD MC MN MS MA MZ MM NA NR NP NL AN NC NZ NI NE NG NU NF MP "
    "NO OM PK PW PA PG PY PE PH PN PL PT PR QA RE RO RU RW KN LC VC WS SM ST SA SN SC SL SG "
    "SK SI SB SO ZA GS ES LK SH PM SD SR SJ SZ SE CH SY TW TJ TZ TH TG TK TO TT TN TR TM TC "
    "TV UG UA AE GB US UM UY UZ VU VE VN VG VI WF EH YE YU ZR ZM ZW UK");

bool IsValidEmailAddress(const QString &AddressString) {
    const QStringList pieces = AddressString.split(u'@');
    if (pieces.size() != 2)
        return false;
    return IsValidHostName(pieces.at(1));
}

bool IsValidHostName(const QString &host) {
    const QString name = TrimBlanks(host).toUpper();
    if (name.isEmpty())
        return false;
    if (IsDottedAddress(name))
        return true;
    const QStringList labels = name.split(u'.');
    if (labels.size() < 2)
        return false;
    // A substring search on purpose: see TopLevelDomains. The empty label of
    // a name ending in "." is contained in any text.
    return TopLevelDomains.contains(labels.last(), Qt::CaseInsensitive) ||
           IsIcannTopLevelDomain(labels.last());
}

void NormalizeAddressList(QStringList &list) {
    for (QString &entry : list) {
        entry = TrimBlanks(entry);
        entry.remove(QStringLiteral("\r\n"));
        entry.remove(u'\t');
    }
}

} // namespace sendmail
