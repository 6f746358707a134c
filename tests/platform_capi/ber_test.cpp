// BER framing: the push parser over pieces of any size and the in-memory
// reader, on well-formed and malformed encodings.
#include <gtest/gtest.h>

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/asn1/ber_stream.h"
#include "platform/capi/asn1/der_writer.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/msg/crypt_msg_types.h"

namespace zuntar {
namespace {

// Walks every element, collects those with tag 0x31, and writes down what
// it heard.
class Recorder : public ber::StreamHandler {
 public:
  DWORD OnStart(const ber::Header& h, Mode* mode) override {
    *mode = h.tag == 0x31 ? Mode::kCollect : Mode::kWalk;
    log += '<';
    log += std::to_string(h.tag);  // appended on its own: "<" + string trips a false -Wrestrict in GCC 12
    return 0;
  }
  DWORD OnContent(const ber::Header&, const BYTE* data, size_t size) override {
    content.append(reinterpret_cast<const char*>(data), size);
    return 0;
  }
  DWORD OnEnd(const ber::Header&) override {
    log += ">";
    return 0;
  }
  DWORD OnCollected(const ber::Header&, Bytes encoding) override {
    collected.push_back(std::move(encoding));
    return 0;
  }
  std::string log;
  Bytes content;
  std::vector<Bytes> collected;
};

DWORD Parse(const Bytes& input, size_t piece, Recorder* r, bool* done) {
  ber::StreamParser parser(r, 1000);
  for (size_t pos = 0; pos < input.size(); pos += piece)
    if (DWORD rc = parser.Feed(reinterpret_cast<const BYTE*>(input.data() + pos), std::min(piece, input.size() - pos)))
      return rc;
  *done = parser.done();
  return 0;
}

TEST(BerStream, SameEventsWhateverThePieceSize) {
  // SEQUENCE (indefinite) { OCTET STRING "ab", constructed OCTET STRING
  // (indefinite) { "cd", "" }, SET { INTEGER 5 } }, long-form lengths too.
  const Bytes input = Bytes("\x30\x80\x04\x02" "ab" "\x24\x80\x04\x81\x02" "cd" "\x04\x00\x00\x00" "\x31\x03\x02\x01\x05"
                            "\x00\x00",
                            24);
  for (size_t piece : {size_t{1}, size_t{2}, size_t{5}, input.size()}) {
    Recorder r;
    bool done = false;
    ASSERT_EQ(Parse(input, piece, &r, &done), 0u) << piece;
    EXPECT_TRUE(done);
    EXPECT_EQ(r.log, "<48<4><36<4><4>><49>") << piece;
    EXPECT_EQ(r.content, "abcd");
    ASSERT_EQ(r.collected.size(), 1u);
    EXPECT_EQ(r.collected[0], Bytes("\x31\x03\x02\x01\x05", 5));
  }
}

TEST(BerStream, MalformedFramingIsRefused) {
  struct Case {
    const char* name;
    Bytes input;
    DWORD code;
  } cases[] = {
      {"child longer than its parent", Bytes("\x30\x03\x04\x05" "abcde", 9), CRYPT_E_ASN1_CORRUPT},
      {"indefinite child running past its definite parent", Bytes("\x30\x04\x30\x80\x04\x02" "ab\x00\x00", 10),
       CRYPT_E_ASN1_CORRUPT},
      {"end of contents inside a definite element", Bytes("\x30\x02\x00\x00", 4), CRYPT_E_ASN1_CORRUPT},
      {"indefinite primitive", Bytes("\x04\x80" "ab\x00\x00", 6), CRYPT_E_ASN1_CORRUPT},
      {"high tag number", Bytes("\x1F\x81\x01\x00", 4), CRYPT_E_ASN1_BADTAG},
      {"nine length octets", Bytes("\x04\x89\x01\x02\x03\x04\x05\x06\x07\x08\x09", 11), CRYPT_E_ASN1_CORRUPT},
      {"bytes after the end", Bytes("\x04\x01" "a" "b", 4), CRYPT_E_MSG_ERROR},
      {"collected part above the limit", Bytes("\x31\x82\x04\x00\x04\x82\x03\xFC", 8) + Bytes(1020, 'x'),
       CRYPT_E_MSG_ERROR},
  };
  for (const Case& c : cases) {
    Recorder r;
    bool done = false;
    EXPECT_EQ(Parse(c.input, 1, &r, &done), c.code) << c.name;
  }
  Bytes deep;
  for (int i = 0; i < 100; ++i) deep += Bytes("\x30\x80", 2);
  Recorder r;
  bool done = false;
  EXPECT_EQ(Parse(deep, 7, &r, &done), CRYPT_E_ASN1_CORRUPT) << "nesting without end";
  // Cut short: no error, but not done either.
  EXPECT_EQ(Parse(Bytes("\x30\x05\x04\x03" "ab", 6), 1, &r, &done), 0u);
  EXPECT_FALSE(done);
}

TEST(BerReader, ElementsOfBothLengthFormsAndTheirLimits) {
  const Bytes input = Bytes("\x30\x80\x02\x01\x07\x00\x00" "\x04\x02" "hi", 11);
  ber::Reader r(input);
  ber::Element e;
  ASSERT_TRUE(r.Expect(ber::kSequence, &e));
  EXPECT_EQ(e.whole.size(), 7u);
  EXPECT_EQ(e.content, std::string_view("\x02\x01\x07", 3));
  EXPECT_FALSE(r.Expect(ber::kInteger, &e));
  ASSERT_TRUE(r.Next(&e));
  EXPECT_EQ(e.content, "hi");
  EXPECT_TRUE(r.empty());
  for (const Bytes& bad : {Bytes("\x04\x05" "abc", 5), Bytes("\x30\x80\x02\x01\x07", 5), Bytes("\x04", 1),
                           Bytes("\x04\x85\x01\x00\x00\x00\x00", 7)}) {
    ber::Reader br(bad);
    EXPECT_FALSE(br.Next(&e)) << bad.size();
  }
}

TEST(BerReader, ObjectIdentifiersAndIntegers) {
  EXPECT_EQ(ber::OidFromContent(std::string_view("\x2A\x85\x03\x07\x01\x01\x03\x02", 8)), "1.2.643.7.1.1.3.2");
  EXPECT_EQ(ber::OidFromContent(std::string_view("\x88\x37\x03", 3)), "2.999.3");
  EXPECT_EQ(ber::OidFromContent(std::string_view("\x2A\x85", 2)), "");  // cut inside an arc
  EXPECT_EQ(ber::OidFromContent(""), "");
  EXPECT_EQ(ber::Oid("1.2.643.2.2.21"), Bytes("\x06\x06\x2A\x85\x03\x02\x02\x15", 8));
  // Little-endian two's-complement blobs and their minimal DER INTEGER: a
  // set high bit without a sign byte is a negative number, as in the blob.
  EXPECT_EQ(ber::IntegerFromBlob(Bytes("\x80\x00", 2)), Bytes("\x02\x02\x00\x80", 4));
  EXPECT_EQ(ber::IntegerFromBlob(Bytes("\x80", 1)), Bytes("\x02\x01\x80", 3));
  EXPECT_EQ(ber::IntegerFromBlob(Bytes("\x01\x00\x00", 3)), Bytes("\x02\x01\x01", 3));
  EXPECT_EQ(ber::IntegerFromBlob(Bytes()), Bytes("\x02\x01\x00", 3));
  EXPECT_EQ(ber::IntegerBlob(std::string_view("\x00\x80", 2)), Bytes("\x80\x00", 2));
  // SET OF in DER order.
  EXPECT_EQ(ber::SetOf({Bytes("\x04\x01\x02", 3), Bytes("\x04\x01\x01", 3)}),
            Bytes("\x31\x06\x04\x01\x01\x04\x01\x02", 8));
}

TEST(DerWriter, LengthFormsReadBackByTheReader) {
  struct Case {
    size_t length;
    Bytes header;
  };
  const Case cases[] = {{0, Bytes("\x04\x00", 2)},
                        {0x7F, Bytes("\x04\x7F", 2)},
                        {0x80, Bytes("\x04\x81\x80", 3)},
                        {0xFF, Bytes("\x04\x81\xFF", 3)},
                        {0x100, Bytes("\x04\x82\x01\x00", 4)},
                        {0x10000, Bytes("\x04\x83\x01\x00\x00", 5)}};
  for (const Case& c : cases) {
    EXPECT_EQ(ber::ElementHeader(ber::kOctetString, c.length), c.header) << c.length;
    const Bytes content(c.length, 'x');
    const Bytes element = ber::Wrap(ber::kOctetString, content);
    EXPECT_EQ(element, c.header + content) << c.length;
    EXPECT_EQ(ber::DefiniteElementSize(element + "trailing"), element.size()) << c.length;
    ber::Reader r(element);
    ber::Element e;
    ASSERT_TRUE(r.Expect(ber::kOctetString, &e)) << c.length;
    EXPECT_EQ(e.content, content);
  }
  EXPECT_EQ(ber::Oid("not an oid"), Bytes());
  EXPECT_EQ(ber::Oid(""), Bytes());
}

TEST(DerWriter, DefiniteSizeRefusesWhatDerCannotHold) {
  const Bytes indefinite("\x30\x80\x02\x01\x07\x00\x00", 7);
  EXPECT_EQ(ber::ElementSize(indefinite), 7u);  // BER takes it
  EXPECT_EQ(ber::DefiniteElementSize(indefinite), 0u);
  EXPECT_EQ(ber::DefiniteElementSize(Bytes("\x30\x03\x02\x01", 4)), 0u);  // cut short
  EXPECT_EQ(ber::DefiniteElementSize(Bytes("\x30", 1)), 0u);
  EXPECT_EQ(ber::DefiniteElementSize(Bytes("\x30\x00", 2)), 2u);
}

}  // namespace
}  // namespace zuntar
