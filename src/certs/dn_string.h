// Distinguished-name strings as the program shows and lists them, and the
// lookup that reads one attribute back out of such a string.
//
// The string is "CN=" + the name's display form, then ",<label>=<value>" for
// each present attribute of a fixed table, in table order: O, L, ST, OU, C,
// T, SN, GN, E, INN, INNLE, RNS-FSS, KP-FSS, OGRN, OGRNIP, SNILS,
// streetAddress, unstructuredName (the issuer's without INNLE, RNS-FSS and
// KP-FSS). Values are in the ANSI code page and neither escaped nor quoted,
// so a value may hold commas and equals signs; GetDNAttribute is built to
// live with that.
#pragma once

#include <string>
#include <string_view>

#include "platform/capi/cert/cert_context.h"

namespace zuntar {

// The subject's (issuer false) or issuer's (issuer true) string.
std::string CertDNString(const PCCERT_CONTEXT& context, bool issuer);

// The value of the attribute labelled `key` (exact, case-sensitive; a label
// may also be an OID text), with its \x escapes decoded; empty when absent.
// A value runs to the last comma before the next "=", except for
// unstructuredName (also "1.2.840.113549.1.9.2"), whose own value holds
// "=" signs and ends at its first comma. A label written inside an earlier
// attribute's value is found first.
std::string GetDNAttribute(std::string_view dn, std::string_view key);

// Decodes "\xHH" escapes from the first one on: the escaped bytes and the
// characters between them are read as UTF-8 and turned into the ANSI code
// page (empty when they are not UTF-8); the text before the first escape is
// kept as it is. An escape of 00 or of non-hex digits adds nothing; an
// escape cut short by the end of the text is copied as plain characters.
std::string DecodeHexEscapes(std::string_view text);

// The holder's name from a subject string: SN, a blank and GN, trimmed.
std::string SubjectPersonName(std::string_view subject_dn);
// The same, falling back on the attributes labelled by their OIDs
// (2.5.4.4 and 2.5.4.42), then on CN.
std::string SubjectPersonNameOrCommonName(std::string_view subject_dn);

}  // namespace zuntar
