// The steps of GetCertInfo that read extensions, one per part of the record.
// Each leaves its fields untouched when the extension is absent or does not
// decode.
#pragma once

#include <optional>
#include <string_view>

#include "certs/cert_info.h"

namespace zuntar::cert_info {

// Extension 1.3.6.1.4.1.10244.4.3: its last 12 bytes, up to a zero byte.
void FillExtTail(const CERT_INFO& cert, VCERT_INFO& info);
// Extension 2.5.29.16: the GeneralizedTime digits after the [0] and [1]
// headers (0x80 0x0F, 0x81 0x0F).
void FillPrivateKeyUsagePeriod(const CERT_INFO& cert, VCERT_INFO& info);
// Extension 2.5.29.37; more than kMaxEkuCount usages give none.
void FillExtendedKeyUsage(const CERT_INFO& cert, VCERT_INFO& info);
// Extension 2.5.29.32: the policy OIDs.
void FillPolicies(const CERT_INFO& cert, VCERT_INFO& info);
// Extension 2.5.29.17 (issuer false) or 2.5.29.18 (issuer true): the
// other-name entries the record carries; a later entry of one OID replaces
// an earlier one, empty values are skipped.
void FillAltNames(const CERT_INFO& cert, bool issuer, VCERT_INFO& info);

// "YYYYMMDDhhmmss" as seconds since 1970 with no zone shift; nothing when a
// character is not a digit or the date or time does not exist.
std::optional<int64_t> SecondsFromTimeDigits(std::string_view digits);

}  // namespace zuntar::cert_info
