// Exchanges with the fund's services (the social-insurance fund's SEDO,
// POVED and the like): decryption of their encrypted responses, and the
// request operations this program refuses.
//
// A response is XML-Encryption with GOST key transport to the certificate
// of the organisation's key holder. It is opened through the provider that
// holds that certificate's key, with the calls each provider family needs
// (fund_blobs.h). Nothing is kept between calls: any thread may decrypt at
// any time, each call with its own document, keys and buffers.
#pragma once

#include "platform/capi/base/crypt_types.h"
#include "platform/exception.h"

namespace zuntar {

// An operation ended on purpose; its message is "Операция прервана".
ZUNTAR_DEFINE_EXCEPTION(EAbort, Exception);

// The plain payload of `response` for the holder of the DER certificate
// `cert_body`, which must be in the current user's personal store.
// Every failure raises, with the texts the pages show:
// - "Не найден элемент <path>": no key-transport or encrypted-data element;
// - "Длина зашифрованных данных меньше 8 байт": not one block after the
//   initialisation vector;
// - "Не удается получить контекст сертификата !": the certificate is not in
//   the store;
// - EWin32Error ("Ошибка Win32.  Код: ...") for any failed provider call,
//   decryption of the last piece included.
// Keys are destroyed whichever way the call ends.
Bytes DecryptFundResponse(const Bytes& response, const Bytes& cert_body);

// The XML signature (task type 2) and the signed requests to the fund (task
// types 3 and 4) are not performed: they raise EAbort at once and produce
// nothing.
Bytes SignXmlDocument(const Bytes& document, const Bytes& cert_body);
Bytes SignFundRequest(const Bytes& request, const Bytes& cert_body);

}  // namespace zuntar
