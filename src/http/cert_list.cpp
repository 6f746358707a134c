#include "http/cert_list.h"

#include <cstdio>

#include "certs/cert_text.h"
#include "certs/dn_string.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "core/text.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_manager.h"
#include "http/query_params.h"
#include "http/reply.h"

namespace zuntar {
namespace {

constexpr size_t kInnLength = 12;

// A text of the record (ANSI code page) as a JSON string's content.
std::string JsonText(std::string_view text) { return Utf8FromAnsi(JsonEscape(text)); }

std::string DateText(DateTime value) {
  const CalendarTime t = DecodeDateTime(value);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
  return text;
}

// The INN a certificate is listed under: the organisation's (INNLE), else
// the person's, filled to 12 characters.
std::string HolderInn(std::string_view subject) {
  std::string inn = GetDNAttribute(subject, "INNLE");
  if (inn.empty()) inn = GetDNAttribute(subject, "INN");
  return PadLeft(inn, kInnLength, '0');
}

bool HasInn(std::string_view subject) {
  return !GetDNAttribute(subject, "INN").empty() || !GetDNAttribute(subject, "INNLE").empty();
}

}  // namespace

CertListRequest CertListRequestOf(std::string_view query, bool personal) {
  const QueryParams params(query);
  CertListRequest r;
  r.personal = personal;
  if (params.Has("inn")) r.inn = PadLeft(params.Value("inn"), kInnLength, '0');
  r.only_valid = params.HasEntry("onlyValid") || SameText(params.Value("onlyValid"), "true");
  return r;
}

DateTime CertKeyStart(const VCERT_INFO& info) {
  return LocalFromUnixSeconds(info.PrivateKeyNotBefore != 0 ? info.PrivateKeyNotBefore : info.NotBefore);
}

DateTime CertKeyEnd(const VCERT_INFO& info) {
  return LocalFromUnixSeconds(info.PrivateKeyNotAfter != 0 ? info.PrivateKeyNotAfter : info.NotAfter);
}

std::string CertListEntry(const VCERT_INFO& info) {
  std::string holder = GetDNAttribute(info.SubjectName, "O");
  if (holder.empty()) holder = GetDNAttribute(info.SubjectName, "CN");
  const std::string person = SubjectPersonName(info.SubjectName);
  std::string e;
  e.reserve(2 * (info.SubjectName.size() + info.IssuerName.size()) + 256);
  e += "{\"Serial\":\"" + NormalizeSerial(info.SerialNumber);
  e += "\",\"Thumbprint\": \"" + BytesToHex(info.Thumbprint);
  e += "\",\"Subject\": \"" + JsonText(info.SubjectName);
  e += "\",\"SubjectName\": \"" + JsonText(holder);
  e += "\",\"Issuer\": \"" + JsonText(info.IssuerName);
  e += "\",\"IssuerName\": \"" + JsonText(GetDNAttribute(info.IssuerName, "CN"));
  if (!person.empty()) e += "\",\"SubjectFIO\": \"" + JsonText(person);
  e += "\",\"ValidFrom\": \"" + DateText(CertKeyStart(info));
  e += "\",\"ValidFor\": \"" + DateText(CertKeyEnd(info)) + "\"}";
  return e;
}

CertListFacts CertListFactsOf(const VCERT_INFO& info) {
  CertListFacts facts;
  facts.serial = info.SerialNumber;
  facts.holder_inn = HolderInn(info.SubjectName);
  facts.has_inn = HasInn(info.SubjectName);
  facts.key_start = CertKeyStart(info);
  facts.key_end = CertKeyEnd(info);
  facts.entry = CertListEntry(info);
  return facts;
}

void AddToListing(const CertListRequest& request, std::shared_ptr<const CertListFacts> facts, DateTime now,
                  CertListing& listing) {
  if (!request.inn.empty()) {
    if (!SameText(facts->holder_inn, request.inn)) {
      listing.diagnostic += ", " + facts->serial + " " + facts->holder_inn + "<>" + request.inn;
      return;
    }
  } else if (!facts->has_inn) {
    return;
  }
  if (!(facts->key_start < now)) return;
  const bool ended = !(facts->key_end > now);
  if (ended && (!request.personal || request.only_valid)) return;
  listing.listed.push_back(std::move(facts));
}

std::shared_ptr<const CertListFacts> CertListCache::Get(TVCertMgr& manager, const std::string& cert_body) {
  {
    ReaderLock lock(mu_);
    const auto it = facts_.find(cert_body);
    if (it != facts_.end()) return it->second;
  }
  VCERT_INFO info;
  manager.GetCertInfo(cert_body, kCertListInfoFlags, info);
  auto facts = std::make_shared<const CertListFacts>(CertListFactsOf(info));
  manager.FreeCertInfo(info);
  WriterLock lock(mu_);
  if (facts_.size() >= capacity_) facts_.clear();
  facts_.emplace(cert_body, facts);
  return facts;
}

CertListing ListCertificates(TVCertMgr& manager, const CertListRequest& request,
                             const std::vector<std::string>& cert_bodies, DateTime now, CertListCache* cache) {
  CertListing listing;
  VCERT_INFO info;
  for (const std::string& body : cert_bodies) {
    if (cache != nullptr) {
      AddToListing(request, cache->Get(manager, body), now, listing);
      continue;
    }
    manager.GetCertInfo(body, kCertListInfoFlags, info);
    AddToListing(request, std::make_shared<const CertListFacts>(CertListFactsOf(info)), now, listing);
    manager.FreeCertInfo(info);
  }
  return listing;
}

std::string CertListReply(const CertListing& listing) {
  if (listing.listed.empty()) {
    const std::string error = Startup().IsCP1251 ? AnsiFromUtf8("сертификаты не найдены")
                                                 : "certificates not founded" + (LogLevel() > 1 ? listing.diagnostic : "");
    return MakeListReply(false, nullptr, {error});
  }
  const std::string head = ListReplyHead(true), tail = ListReplyTail({});
  size_t size = head.size() + tail.size() + listing.listed.size();
  for (const auto& facts : listing.listed) size += facts->entry.size();
  std::string out;
  out.reserve(size);
  out += head;
  for (size_t i = 0; i < listing.listed.size(); ++i) {
    if (i > 0) out += ',';
    out += listing.listed[i]->entry;
  }
  out += tail;
  return out;
}

}  // namespace zuntar
