// Certificates for the naming tests. One key signs them all: naming reads
// names and extensions, never keys, and one key keeps the tests quick.
#pragma once

#include <string>
#include <vector>

#include "platform/capi/asn1/der_writer.h"
#include "support/test_pki.h"

namespace zuntar::test {

class NamingCerts {
 public:
  NamingCerts() : key_(GenerateGostKey(GostKeyKind::k2012_256)) {
    CertRequest r;
    r.subject = {{"2.5.4.6", "RU"},
                 {"2.5.4.10", "Тестовый УЦ"},
                 {"1.2.643.3.131.1.1", "007700000001"},
                 {"1.2.643.100.4", "7700000001"},
                 {"1.2.643.3.141.1.1", "7700000002"},
                 {"1.2.643.3.141.1.2", "770001"},
                 {"1.2.643.100.1", "1027700000001"},
                 {"2.5.4.3", "Тестовый УЦ"}};
    r.not_before = NowSeconds() - 86400;
    r.not_after = NowSeconds() + 86400;
    r.is_ca = true;
    ca_ = BuildCertificate(r, key_.get(), {}, key_.get());
  }

  const Bytes& Ca() const { return ca_; }
  // A certificate of the request issued by the test CA.
  Bytes Issue(const CertRequest& r) const { return BuildCertificate(r, key_.get(), ca_, key_.get()); }

 private:
  ossl::PKeyPtr key_;
  Bytes ca_;
};

// DER of one other-name entry of an alternative name: its OID and the DER
// of its value.
inline Bytes OtherNameEntry(const std::string& oid, const Bytes& value_der) {
  return ber::Wrap(0xA0, ber::Oid(oid) + ber::Wrap(0xA0, value_der));
}

}  // namespace zuntar::test
