#include "platform/capi/cert/cert_name.h"

#include <openssl/x509v3.h>

#include <cstring>

#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/ossl.h"
#include "platform/capi/base/wide_text.h"
#include "platform/code_page.h"

namespace zuntar {
namespace {

ossl::X509NamePtr DecodeName(const Bytes& der) {
  const unsigned char* p = ossl::Data(der);
  ossl::X509NamePtr name(d2i_X509_NAME(nullptr, &p, static_cast<long>(der.size())));
  if (name == nullptr || p != ossl::Data(der) + der.size()) {
    ossl::ClearErrors();
    return nullptr;
  }
  return name;
}

// The value of a name entry as UTF-8; non-string values as "#" + hex DER.
std::string EntryValue(const X509_NAME_ENTRY* entry) {
  const ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
  unsigned char* utf8 = nullptr;
  const int len = ASN1_STRING_to_UTF8(&utf8, data);
  const ossl::BufferPtr owned(utf8);
  if (len >= 0) return std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(len));
  ossl::ClearErrors();
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "#";
  for (int i = 0; i < ASN1_STRING_length(data); ++i) {
    const unsigned char b = ASN1_STRING_get0_data(data)[i];
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::string FirstValue(const X509_NAME* name, const std::string& oid) {
  const int count = X509_NAME_entry_count(name);
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    if (ossl::OidText(X509_NAME_ENTRY_get_object(entry)) == oid) return EntryValue(entry);
  }
  return {};
}

std::string AltNameEmail(const PCCERT_CONTEXT& context, bool issuer) {
  const ossl::GeneralNamesPtr names(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(context->Certificate(), issuer ? NID_issuer_alt_name : NID_subject_alt_name, nullptr, nullptr)));
  std::string out;
  for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names.get(), i);
    if (gn->type == GEN_EMAIL) {
      out.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(gn->d.rfc822Name)),
                 static_cast<size_t>(ASN1_STRING_length(gn->d.rfc822Name)));
      break;
    }
  }
  ossl::ClearErrors();
  return out;
}

std::string SimpleDisplayName(const PCCERT_CONTEXT& context, bool issuer) {
  const X509_NAME* name = issuer ? X509_get_issuer_name(context->Certificate())
                                 : X509_get_subject_name(context->Certificate());
  for (const char* oid : {szOID_COMMON_NAME, szOID_ORGANIZATIONAL_UNIT_NAME, szOID_ORGANIZATION_NAME,
                          szOID_RSA_emailAddr}) {
    std::string value = FirstValue(name, oid);
    if (!value.empty()) return value;
  }
  std::string email = AltNameEmail(context, issuer);
  if (!email.empty()) return email;
  if (X509_NAME_entry_count(name) > 0) return EntryValue(X509_NAME_get_entry(name, 0));
  return {};
}

template <typename Char>
DWORD CopyString(const std::basic_string<Char>& value, Char* out, DWORD cch) {
  const DWORD needed = static_cast<DWORD>(value.size()) + 1;
  if (out == nullptr || cch == 0) return needed;
  const DWORD n = std::min(needed - 1, cch - 1);
  std::memcpy(out, value.data(), n * sizeof(Char));
  out[n] = 0;
  return n + 1;
}

struct X500Key {
  const char* oid;
  const char* key;
};

constexpr X500Key kX500Keys[] = {
    {"2.5.4.3", "CN"},          {"2.5.4.7", "L"},
    {"2.5.4.10", "O"},          {"2.5.4.11", "OU"},
    {"1.2.840.113549.1.9.1", "E"}, {"2.5.4.6", "C"},
    {"2.5.4.8", "S"},           {"2.5.4.9", "STREET"},
    {"2.5.4.12", "T"},          {"2.5.4.42", "G"},
    {"2.5.4.43", "I"},          {"2.5.4.4", "SN"},
    {"2.5.4.5", "SERIALNUMBER"}, {"0.9.2342.19200300.100.1.25", "DC"},
    {"2.5.4.13", "Description"}, {"2.5.4.17", "PostalCode"},
    {"2.5.4.18", "POBox"},      {"2.5.4.20", "Phone"},
    {"1.2.840.113549.1.9.2", "unstructuredName"},
    // Registered by the GOST providers for the Russian qualified certificates.
    {"1.2.643.3.131.1.1", "INN"}, {"1.2.643.100.4", "INNLE"},
    {"1.2.643.100.1", "OGRN"},  {"1.2.643.100.5", "OGRNIP"},
    {"1.2.643.100.3", "SNILS"},
};

std::string X500Key(const std::string& oid, DWORD str_type) {
  if (str_type == CERT_X500_NAME_STR)
    for (const auto& k : kX500Keys)
      if (oid == k.oid) return k.key;
  return str_type == CERT_X500_NAME_STR ? "OID." + oid : oid;
}

std::string Quote(const std::string& value, bool no_quoting) {
  if (no_quoting) return value;
  bool needs = value.empty() || value.front() == ' ' || value.back() == ' ';
  for (char c : value)
    if (std::strchr(",+=\"\n<>#;", c) != nullptr && c != '\0') needs = true;
  if (!needs) return value;
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::u16string NameString(const PCCERT_CONTEXT& context, DWORD type, DWORD flags, const char* type_para) {
  if (context == nullptr) return {};
  const bool issuer = (flags & CERT_NAME_ISSUER_FLAG) != 0;
  std::string value;
  if (type == CERT_NAME_SIMPLE_DISPLAY_TYPE || type == CERT_NAME_FRIENDLY_DISPLAY_TYPE) {
    value = SimpleDisplayName(context, issuer);
  } else if (type == CERT_NAME_ATTR_TYPE && type_para != nullptr) {
    value = FirstValue(issuer ? X509_get_issuer_name(context->Certificate())
                              : X509_get_subject_name(context->Certificate()),
                       type_para);
  } else if (type == CERT_NAME_EMAIL_TYPE) {
    value = AltNameEmail(context, issuer);
    if (value.empty())
      value = FirstValue(issuer ? X509_get_issuer_name(context->Certificate())
                                : X509_get_subject_name(context->Certificate()),
                         szOID_RSA_emailAddr);
  } else if (type == CERT_NAME_RDN_TYPE) {
    value = NameToUtf8(issuer ? context->Info().Issuer : context->Info().Subject, CERT_X500_NAME_STR);
  }
  return Utf16FromUtf8(value);
}

DWORD CertGetNameStringW(const PCCERT_CONTEXT& context, DWORD type, DWORD flags, const char* type_para,
                         char16_t* name, DWORD cch_name) {
  return CopyString(NameString(context, type, flags, type_para), name, cch_name);
}

DWORD CertGetNameStringA(const PCCERT_CONTEXT& context, DWORD type, DWORD flags, const char* type_para, char* name,
                         DWORD cch_name) {
  return CopyString(CodePageFromWide(AnsiCodePage(), NameString(context, type, flags, type_para)), name, cch_name);
}

std::string NameToUtf8(const Bytes& der, DWORD str_type) {
  const ossl::X509NamePtr name = DecodeName(der);
  if (name == nullptr) return {};
  const DWORD type = str_type & 0xFFFF;
  const bool reverse = (str_type & CERT_NAME_STR_REVERSE_FLAG) != 0;
  const bool no_quoting = (str_type & CERT_NAME_STR_NO_QUOTING_FLAG) != 0;
  const std::string separator = (str_type & CERT_NAME_STR_SEMICOLON_FLAG) ? "; "
                                : (str_type & CERT_NAME_STR_CRLF_FLAG)    ? "\r\n"
                                                                          : ", ";
  // Group the entries into their relative distinguished names.
  std::vector<std::vector<std::string>> rdns;
  int last_set = -1;
  const int count = X509_NAME_entry_count(name.get());
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name.get(), i);
    const std::string value = Quote(EntryValue(entry), no_quoting);
    std::string text = type == CERT_SIMPLE_NAME_STR
                           ? value
                           : X500Key(ossl::OidText(X509_NAME_ENTRY_get_object(entry)), type) + "=" + value;
    const int set = X509_NAME_ENTRY_set(entry);
    if (set != last_set || rdns.empty()) rdns.emplace_back();
    rdns.back().push_back(std::move(text));
    last_set = set;
  }
  if (reverse) std::reverse(rdns.begin(), rdns.end());
  std::string out;
  for (size_t i = 0; i < rdns.size(); ++i) {
    if (i > 0) out += separator;
    for (size_t j = 0; j < rdns[i].size(); ++j) out += (j > 0 ? " + " : "") + rdns[i][j];
  }
  return out;
}

DWORD CertNameToStrA(DWORD, const Bytes& name, DWORD str_type, char* psz, DWORD csz) {
  return CopyString(CodePageFromWide(AnsiCodePage(), Utf16FromUtf8(NameToUtf8(name, str_type))), psz, csz);
}

DWORD CertNameToStrW(DWORD, const Bytes& name, DWORD str_type, char16_t* psz, DWORD csz) {
  return CopyString(Utf16FromUtf8(NameToUtf8(name, str_type)), psz, csz);
}

}  // namespace zuntar
