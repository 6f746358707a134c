// Object identifiers written as dotted text, against OpenSSL's own writer.
#include <gtest/gtest.h>
#include <openssl/objects.h>

#include "platform/capi/base/ossl.h"

namespace zuntar {
namespace {

TEST(OidText, WritesWhatOpenSslWritesForEveryArcSize) {
  for (const char* oid : {"2.5.4.3", "1.2.643.100.113.1", "1.2.643.7.1.1.3.2", "0.9.2342.19200300.100.1.25",
                          "1.2.840.113549.1.9.2", "2.999.1", "2.100.3", "1.39.18446744073709551615",
                          // An arc past 64 bits, as in UUID identifiers.
                          "2.25.329800735698586629295641978511506172918", "1.3.6.1.4.1.311.60.2.1.3"}) {
    const ossl::Asn1ObjectPtr obj(OBJ_txt2obj(oid, 1));
    ASSERT_NE(obj, nullptr) << oid;
    char expected[256];
    ASSERT_GT(OBJ_obj2txt(expected, sizeof expected, obj.get(), 1), 0);
    EXPECT_EQ(ossl::OidText(obj.get()), expected);
    EXPECT_EQ(ossl::OidText(obj.get()), oid);
  }
  EXPECT_EQ(ossl::OidText(nullptr), "");
}

}  // namespace
}  // namespace zuntar
