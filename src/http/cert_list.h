// The certificate listings of ENUMCERTS and ENUMALLCERTS: which of the
// stores' certificates a page sees, and the exact JSON object of each.
//
// A certificate is listed when its holder's INN matches the one asked for
// (or, with none asked for, when its subject carries an INN at all) and its
// key may be used now: begun, and not yet ended unless ENUMCERTS lists
// expired ones too. The key's dates are the private-key usage period where
// the certificate has one, else its validity.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <string_view>
#include <vector>

#include "certs/cert_info.h"
#include "platform/date_time.h"
#include "platform/thread_annotations.h"

namespace zuntar {

class TVCertMgr;

struct CertListRequest {
  bool personal = true;     // ENUMCERTS; ENUMALLCERTS never lists expired ones
  std::string inn;          // the INN asked for, filled with "0" to 12 characters; empty: any
  bool only_valid = false;  // ENUMCERTS: drop the expired ones
};

// The request of a query string: `inn` (trimmed, filled on the left with
// "0" to 12 characters) and `onlyValid`, either alone or "=true" in any case.
CertListRequest CertListRequestOf(std::string_view query, bool personal);

// What GetCertInfo must fill for a listing.
inline constexpr uint32_t kCertListInfoFlags = VCERT_INFO_SERIAL | VCERT_INFO_ISSUER | VCERT_INFO_SUBJECT |
                                               VCERT_INFO_NOT_BEFORE | VCERT_INFO_NOT_AFTER |
                                               VCERT_INFO_PKUP_NOT_BEFORE | VCERT_INFO_PKUP_NOT_AFTER |
                                               VCERT_INFO_THUMBPRINT;

// The key's first and last moments as local date-times.
DateTime CertKeyStart(const VCERT_INFO& info);
DateTime CertKeyEnd(const VCERT_INFO& info);

// The entry of one certificate: {"Serial":"...","Thumbprint": "...", ...},
// texts in UTF-8.
std::string CertListEntry(const VCERT_INFO& info);

// What a listing needs of one certificate, worked out from its record once.
struct CertListFacts {
  std::string serial;      // as the record holds it, for the diagnostic
  std::string holder_inn;  // INNLE, else INN, filled with "0" to 12 characters
  bool has_inn = false;    // the subject carries INN or INNLE
  DateTime key_start = 0;  // local
  DateTime key_end = 0;
  std::string entry;  // CertListEntry
};

CertListFacts CertListFactsOf(const VCERT_INFO& info);

struct CertListing {
  std::vector<std::shared_ptr<const CertListFacts>> listed;
  // ", <serial> <INN><><INN asked for>" for each certificate the INN test
  // dropped.
  std::string diagnostic;
};

// Adds the certificate's entry when the INN and date tests pass at `now`
// (local).
void AddToListing(const CertListRequest& request, std::shared_ptr<const CertListFacts> facts, DateTime now,
                  CertListing& listing);

// The facts of certificates listed before, by their encoding: pages ask
// for the same certificates again and again, and the facts depend on the
// certificate alone. Safe across threads; forgets everything when full.
class CertListCache {
 public:
  explicit CertListCache(size_t capacity = 4096) : capacity_(capacity) {}

  // The facts of the body, from the record the manager fills for a listing.
  std::shared_ptr<const CertListFacts> Get(TVCertMgr& manager, const std::string& cert_body);

 private:
  const size_t capacity_;
  SharedMutex mu_;
  std::unordered_map<std::string, std::shared_ptr<const CertListFacts>> facts_ GUARDED_BY(mu_);
};

// The listing of these certificate bodies, read through the manager (and
// the cache, when given).
CertListing ListCertificates(TVCertMgr& manager, const CertListRequest& request,
                             const std::vector<std::string>& cert_bodies, DateTime now,
                             CertListCache* cache = nullptr);

// The reply body: the entries, or the "not found" error (the diagnostic
// added where the texts are English and LOG_LEVEL is above 1).
std::string CertListReply(const CertListing& listing);

}  // namespace zuntar
