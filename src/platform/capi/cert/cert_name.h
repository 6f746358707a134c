// Certificate names: display names, single attributes and the string forms
// of an encoded name (CertGetNameString, CertNameToStr).
#pragma once

#include <string>

#include "platform/capi/cert/cert_context.h"

namespace zuntar {

// type CERT_NAME_SIMPLE_DISPLAY_TYPE: CN, else OU, else O, else e-mail,
// else the e-mail of the alternative name, else the first attribute.
// type CERT_NAME_ATTR_TYPE: the first attribute whose OID is type_para.
// Flag CERT_NAME_ISSUER_FLAG reads the issuer instead of the subject.
// Returns the number of characters written including the terminating NUL;
// with a null buffer or size 0 the number needed. A longer value is cut to
// the buffer. An absent value gives the empty string (1).
DWORD CertGetNameStringW(const PCCERT_CONTEXT& context, DWORD type, DWORD flags, const char* type_para,
                         char16_t* name, DWORD cch_name);
// The same in the ANSI code page.
DWORD CertGetNameStringA(const PCCERT_CONTEXT& context, DWORD type, DWORD flags, const char* type_para, char* name,
                         DWORD cch_name);

// The string form of an encoded name, attributes in their encoded order
// (CERT_NAME_STR_REVERSE_FLAG reverses it). Types CERT_SIMPLE_NAME_STR (values
// only), CERT_OID_NAME_STR (dotted OIDs) and CERT_X500_NAME_STR (CN=, O=,
// the Russian INN=, OGRN=, ... and OID.<oid>= for the rest). Returns the
// characters written including the NUL, or the number needed for a null
// buffer; undecodable names give the empty string.
DWORD CertNameToStrA(DWORD encoding, const Bytes& name, DWORD str_type, char* psz, DWORD csz);
DWORD CertNameToStrW(DWORD encoding, const Bytes& name, DWORD str_type, char16_t* psz, DWORD csz);

// Convenience forms of the above (UTF-8 and UTF-16 results).
std::string NameToUtf8(const Bytes& name, DWORD str_type);
std::u16string NameString(const PCCERT_CONTEXT& context, DWORD type, DWORD flags, const char* type_para);

}  // namespace zuntar
