// Types, structures and constants of the CryptoAPI-shaped layer.
//
// Names and values are those of the Windows CryptoAPI and of the GOST
// providers of the CryptoPro family, so that code written against that API
// passes the same numbers here. Byte strings (`Bytes`) replace pointer and
// length pairs wherever no caller depends on growing a buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zuntar {

using DWORD = uint32_t;
using ALG_ID = uint32_t;
using BYTE = uint8_t;
// Any bytes, not text.
using Bytes = std::string;
// 100-nanosecond intervals since 1601-01-01 00:00 UTC.
using FILETIME = uint64_t;

// ---- Encodings -------------------------------------------------------------
constexpr DWORD X509_ASN_ENCODING = 0x00000001;
constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;

// ---- Structures ------------------------------------------------------------
struct CRYPT_ALGORITHM_IDENTIFIER {
  std::string pszObjId;
  Bytes Parameters;  // DER of the parameters field, empty when absent
};

struct CRYPT_BIT_BLOB {
  Bytes pbData;
  DWORD cUnusedBits = 0;
};

struct CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
};

struct CERT_EXTENSION {
  std::string pszObjId;
  bool fCritical = false;
  Bytes Value;  // DER of the extension value (the inner encoding)
};

// Decoded fields of a certificate. SerialNumber is least significant byte
// first; Issuer and Subject are the DER of the names.
struct CERT_INFO {
  DWORD dwVersion = 0;
  Bytes SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  Bytes Issuer;
  FILETIME NotBefore = 0;
  FILETIME NotAfter = 0;
  Bytes Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  std::vector<CERT_EXTENSION> rgExtension;
};

// Decoded fields of a CRL.
struct CRL_INFO {
  Bytes Issuer;
  FILETIME ThisUpdate = 0;
  FILETIME NextUpdate = 0;  // 0 when absent
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
};

// Where a certificate's private key lives.
struct CRYPT_KEY_PROV_INFO {
  std::u16string pwszContainerName;
  std::u16string pwszProvName;
  DWORD dwProvType = 0;
  DWORD dwFlags = 0;
  DWORD dwKeySpec = 0;
};

// An other-name entry of an alternative name: its OID and the DER of its
// value.
struct CERT_OTHER_NAME {
  std::string pszObjId;
  Bytes Value;
};

constexpr DWORD CERT_ALT_NAME_OTHER_NAME = 1;
constexpr DWORD CERT_ALT_NAME_RFC822_NAME = 2;
constexpr DWORD CERT_ALT_NAME_DNS_NAME = 3;
constexpr DWORD CERT_ALT_NAME_DIRECTORY_NAME = 5;
constexpr DWORD CERT_ALT_NAME_URL = 7;
constexpr DWORD CERT_ALT_NAME_IP_ADDRESS = 8;
constexpr DWORD CERT_ALT_NAME_REGISTERED_ID = 9;

struct CERT_ALT_NAME_ENTRY {
  DWORD dwAltNameChoice = 0;
  CERT_OTHER_NAME OtherName;  // CERT_ALT_NAME_OTHER_NAME
  std::string Text;           // e-mail, DNS name, URL, registered id (OID text)
  Bytes Blob;                 // directory name DER, IP address bytes
};

struct CERT_POLICY_INFO {
  std::string pszPolicyIdentifier;
};

// ---- Certificate properties -----------------------------------------------
constexpr DWORD CERT_KEY_PROV_HANDLE_PROP_ID = 1;
constexpr DWORD CERT_KEY_PROV_INFO_PROP_ID = 2;
constexpr DWORD CERT_SHA1_HASH_PROP_ID = 3;
constexpr DWORD CERT_HASH_PROP_ID = CERT_SHA1_HASH_PROP_ID;
constexpr DWORD CERT_MD5_HASH_PROP_ID = 4;
constexpr DWORD CERT_KEY_CONTEXT_PROP_ID = 5;
constexpr DWORD CERT_KEY_SPEC_PROP_ID = 6;
constexpr DWORD CERT_FRIENDLY_NAME_PROP_ID = 11;

// ---- Stores ----------------------------------------------------------------
constexpr DWORD CERT_STORE_PROV_MEMORY = 2;
constexpr DWORD CERT_STORE_PROV_SYSTEM_A = 9;
constexpr DWORD CERT_STORE_PROV_SYSTEM_W = 10;
constexpr DWORD CERT_STORE_PROV_SYSTEM = CERT_STORE_PROV_SYSTEM_W;

constexpr DWORD CERT_STORE_CREATE_NEW_FLAG = 0x00002000;
constexpr DWORD CERT_STORE_OPEN_EXISTING_FLAG = 0x00004000;
constexpr DWORD CERT_STORE_READONLY_FLAG = 0x00008000;
constexpr DWORD CERT_SYSTEM_STORE_LOCATION_MASK = 0x00FF0000;
constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 0x00010000;
constexpr DWORD CERT_SYSTEM_STORE_LOCAL_MACHINE = 0x00020000;

constexpr DWORD CERT_STORE_ADD_NEW = 1;
constexpr DWORD CERT_STORE_ADD_USE_EXISTING = 2;
constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING = 3;
constexpr DWORD CERT_STORE_ADD_ALWAYS = 4;
constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES = 5;
constexpr DWORD CERT_STORE_ADD_NEWER = 6;
constexpr DWORD CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES = 7;

constexpr DWORD CERT_FIND_ANY = 0;
constexpr DWORD CERT_FIND_SHA1_HASH = 0x00010000;
constexpr DWORD CERT_FIND_HASH = CERT_FIND_SHA1_HASH;
constexpr DWORD CERT_FIND_PROPERTY = 0x00050000;
constexpr DWORD CERT_FIND_PUBLIC_KEY = 0x00060000;
constexpr DWORD CERT_FIND_SUBJECT_CERT = 0x000B0000;

// ---- Names -----------------------------------------------------------------
constexpr DWORD CERT_NAME_EMAIL_TYPE = 1;
constexpr DWORD CERT_NAME_RDN_TYPE = 2;
constexpr DWORD CERT_NAME_ATTR_TYPE = 3;
constexpr DWORD CERT_NAME_SIMPLE_DISPLAY_TYPE = 4;
constexpr DWORD CERT_NAME_FRIENDLY_DISPLAY_TYPE = 5;
constexpr DWORD CERT_NAME_ISSUER_FLAG = 0x1;

constexpr DWORD CERT_SIMPLE_NAME_STR = 1;
constexpr DWORD CERT_OID_NAME_STR = 2;
constexpr DWORD CERT_X500_NAME_STR = 3;
constexpr DWORD CERT_NAME_STR_SEMICOLON_FLAG = 0x40000000;
constexpr DWORD CERT_NAME_STR_NO_QUOTING_FLAG = 0x10000000;
constexpr DWORD CERT_NAME_STR_CRLF_FLAG = 0x08000000;
constexpr DWORD CERT_NAME_STR_COMMA_FLAG = 0x04000000;
constexpr DWORD CERT_NAME_STR_REVERSE_FLAG = 0x02000000;

// ---- Key usage bits of the first byte --------------------------------------
constexpr BYTE CERT_DIGITAL_SIGNATURE_KEY_USAGE = 0x80;
constexpr BYTE CERT_NON_REPUDIATION_KEY_USAGE = 0x40;
constexpr BYTE CERT_KEY_ENCIPHERMENT_KEY_USAGE = 0x20;
constexpr BYTE CERT_DATA_ENCIPHERMENT_KEY_USAGE = 0x10;
constexpr BYTE CERT_KEY_AGREEMENT_KEY_USAGE = 0x08;
constexpr BYTE CERT_KEY_CERT_SIGN_KEY_USAGE = 0x04;
constexpr BYTE CERT_CRL_SIGN_KEY_USAGE = 0x02;

// ---- Providers ---------------------------------------------------------------
constexpr DWORD PROV_GOST_2001_DH = 75;
constexpr DWORD PROV_GOST_2012_256 = 80;
constexpr DWORD PROV_GOST_2012_512 = 81;
constexpr DWORD PROV_RSA_FULL = 1;
constexpr DWORD PROV_RSA_SIG = 2;

constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;
constexpr DWORD CRYPT_NEWKEYSET = 0x00000008;
constexpr DWORD CRYPT_DELETEKEYSET = 0x00000010;
constexpr DWORD CRYPT_MACHINE_KEYSET = 0x00000020;
constexpr DWORD CRYPT_SILENT = 0x00000040;

// Provider parameters.
constexpr DWORD PP_ENUMALGS = 1;
constexpr DWORD PP_ENUMCONTAINERS = 2;
constexpr DWORD PP_IMPTYPE = 3;
constexpr DWORD PP_NAME = 4;
constexpr DWORD PP_VERSION = 5;
constexpr DWORD PP_CONTAINER = 6;
constexpr DWORD PP_PROVTYPE = 16;
constexpr DWORD PP_KEYEXCHANGE_PIN = 32;
constexpr DWORD PP_SIGNATURE_PIN = 33;
constexpr DWORD PP_UNIQUE_CONTAINER = 36;
constexpr DWORD PP_SIGNATUREOID = 92;  // parameter set OID of the container's keys
constexpr DWORD PP_DHOID = 93;         // agreement parameter set OID
constexpr DWORD PP_SELFTEST = 145;

constexpr DWORD CRYPT_FIRST = 0x01;
constexpr DWORD CRYPT_NEXT = 0x02;
constexpr DWORD CRYPT_UNIQUE = 0x08;
constexpr DWORD CRYPT_FQCN = 0x10;

// Size of the self-test block and the offset of its failure word.
constexpr DWORD kSelfTestBlockSize = 32;
constexpr DWORD kSelfTestFailureOffset = 20;

// ---- Keys --------------------------------------------------------------------
constexpr DWORD AT_KEYEXCHANGE = 1;
constexpr DWORD AT_SIGNATURE = 2;

constexpr DWORD CRYPT_EXPORTABLE = 0x00000001;
constexpr DWORD CRYPT_PREGEN = 0x00000040;

constexpr DWORD SIMPLEBLOB = 0x1;
constexpr DWORD PUBLICKEYBLOB = 0x6;
constexpr DWORD PRIVATEKEYBLOB = 0x7;
constexpr BYTE CUR_BLOB_VERSION = 0x20;

constexpr DWORD KP_IV = 1;
constexpr DWORD KP_PADDING = 3;
constexpr DWORD KP_MODE = 4;
constexpr DWORD KP_ALGID = 7;
constexpr DWORD KP_BLOCKLEN = 8;
constexpr DWORD KP_KEYLEN = 9;
constexpr DWORD KP_X = 14;
constexpr DWORD KP_CERTIFICATE = 26;
constexpr DWORD KP_HASHOID = 103;
constexpr DWORD KP_CIPHEROID = 104;
constexpr DWORD KP_DHOID = 106;
// The export algorithm of an agreement key as providers of the ViPNet
// style name it; here an alias of KP_ALGID on agreement keys.
constexpr DWORD KP_EXPORT_ALGID = 108;

constexpr DWORD PKCS5_PADDING = 1;
constexpr DWORD RANDOM_PADDING = 2;
constexpr DWORD ZERO_PADDING = 3;
constexpr DWORD ISO10126_PADDING = 4;

constexpr DWORD CRYPT_MODE_CBC = 1;
constexpr DWORD CRYPT_MODE_ECB = 2;
constexpr DWORD CRYPT_MODE_CFB = 4;

// ---- Algorithm identifiers ---------------------------------------------------
constexpr ALG_ID CALG_GR3411 = 0x801E;
constexpr ALG_ID CALG_GR3411_2012_256 = 0x8021;
constexpr ALG_ID CALG_GR3411_2012_512 = 0x8022;
constexpr ALG_ID CALG_G28147 = 0x661E;
constexpr ALG_ID CALG_PRO_EXPORT = 0x661F;
constexpr ALG_ID CALG_SIMPLE_EXPORT = 0x6620;
constexpr ALG_ID CALG_PRO12_EXPORT = 0x6621;
constexpr ALG_ID CALG_GR3410EL = 0x2E23;
constexpr ALG_ID CALG_GR3410_12_256 = 0x2E49;
constexpr ALG_ID CALG_GR3410_12_512 = 0x2E3D;
constexpr ALG_ID CALG_DH_EL_SF = 0xAA24;
constexpr ALG_ID CALG_DH_EL_EPHEM = 0xAA25;
constexpr ALG_ID CALG_DH_GR3410_12_256_SF = 0xAA46;
constexpr ALG_ID CALG_DH_GR3410_12_256_EPHEM = 0xAA47;
constexpr ALG_ID CALG_DH_GR3410_12_512_SF = 0xAA42;
constexpr ALG_ID CALG_DH_GR3410_12_512_EPHEM = 0xAA43;

constexpr DWORD GR3410_1_MAGIC = 0x3147414D;  // "MAG1"
constexpr DWORD G28147_MAGIC = 0x374A51FD;

// ---- Hashes --------------------------------------------------------------------
constexpr DWORD HP_ALGID = 1;
constexpr DWORD HP_HASHVAL = 2;
constexpr DWORD HP_HASHSIZE = 4;

// ---- Certificate private keys ----------------------------------------------
constexpr DWORD CRYPT_ACQUIRE_CACHE_FLAG = 0x00000001;
constexpr DWORD CRYPT_ACQUIRE_USE_PROV_INFO_FLAG = 0x00000002;
constexpr DWORD CRYPT_ACQUIRE_COMPARE_KEY_FLAG = 0x00000004;
constexpr DWORD CRYPT_ACQUIRE_SILENT_FLAG = 0x00000040;

// ---- Object identifiers the layer knows by name --------------------------
inline constexpr char szOID_ENHANCED_KEY_USAGE[] = "2.5.29.37";
inline constexpr char szOID_CERT_POLICIES[] = "2.5.29.32";
inline constexpr char szOID_SUBJECT_ALT_NAME2[] = "2.5.29.17";
inline constexpr char szOID_ISSUER_ALT_NAME2[] = "2.5.29.18";
inline constexpr char szOID_KEY_USAGE[] = "2.5.29.15";
inline constexpr char szOID_PRIVATEKEY_USAGE_PERIOD[] = "2.5.29.16";
inline constexpr char szOID_COMMON_NAME[] = "2.5.4.3";
inline constexpr char szOID_ORGANIZATION_NAME[] = "2.5.4.10";
inline constexpr char szOID_ORGANIZATIONAL_UNIT_NAME[] = "2.5.4.11";
inline constexpr char szOID_RSA_emailAddr[] = "1.2.840.113549.1.9.1";
inline constexpr char szOID_CP_GOST_R3411_R3410EL[] = "1.2.643.2.2.3";
inline constexpr char szOID_CP_GOST_R3411_12_256_R3410[] = "1.2.643.7.1.1.3.2";
inline constexpr char szOID_CP_GOST_R3411_12_512_R3410[] = "1.2.643.7.1.1.3.3";
inline constexpr char szOID_CP_GOST_R3410EL[] = "1.2.643.2.2.19";
inline constexpr char szOID_CP_GOST_R3410_12_256[] = "1.2.643.7.1.1.1.1";
inline constexpr char szOID_CP_GOST_R3410_12_512[] = "1.2.643.7.1.1.1.2";

}  // namespace zuntar
