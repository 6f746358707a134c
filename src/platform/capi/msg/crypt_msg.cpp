#include "platform/capi/msg/crypt_msg.h"

#include "platform/capi/base/error_codes.h"
#include "platform/capi/msg/msg_decoder.h"
#include "platform/capi/msg/msg_signed_encoder.h"

namespace zuntar {

DWORD CryptMsg::GetBytes(DWORD, DWORD, Bytes*) { return CRYPT_E_INVALID_MSG_TYPE; }
DWORD CryptMsg::GetNumber(DWORD, DWORD*) { return CRYPT_E_INVALID_MSG_TYPE; }
DWORD CryptMsg::GetCertInfo(DWORD, DWORD, CERT_INFO*) { return CRYPT_E_INVALID_MSG_TYPE; }
DWORD CryptMsg::GetAttributes(DWORD, DWORD, CRYPT_ATTRIBUTES*) { return CRYPT_E_INVALID_MSG_TYPE; }
DWORD CryptMsg::GetAlgorithm(DWORD, DWORD, CRYPT_ALGORITHM_IDENTIFIER*) { return CRYPT_E_INVALID_MSG_TYPE; }
DWORD CryptMsg::VerifySigner(DWORD, const CERT_PUBLIC_KEY_INFO&) { return CRYPT_E_INVALID_MSG_TYPE; }
DWORD CryptMsg::FindSigner(const CERT_INFO&, DWORD*) { return CRYPT_E_INVALID_MSG_TYPE; }
DWORD CryptMsg::Decrypt(const CMSG_CTRL_DECRYPT_PARA&) { return CRYPT_E_INVALID_MSG_TYPE; }
DWORD CryptMsg::GetRecipient(DWORD, CMSG_CMS_RECIPIENT_INFO*) { return CRYPT_E_INVALID_MSG_TYPE; }
DWORD CryptMsg::AgreeDecrypt(const CMSG_CTRL_KEY_AGREE_DECRYPT_PARA&) { return CRYPT_E_INVALID_MSG_TYPE; }

namespace {

bool Result(DWORD rc) {
  if (rc != 0) return Fail(rc);
  SetLastError(0);
  return true;
}

}  // namespace

HCRYPTMSG CryptMsgOpenToEncode(DWORD /*encoding*/, DWORD flags, DWORD msg_type, const CMSG_SIGNED_ENCODE_INFO& info,
                               const char* inner_content_oid, const CMSG_STREAM_INFO* stream) {
  if (msg_type != CMSG_SIGNED) {
    SetLastError(CRYPT_E_INVALID_MSG_TYPE);
    return nullptr;
  }
  if (inner_content_oid != nullptr && std::string(inner_content_oid) != szOID_RSA_data) {
    SetLastError(CRYPT_E_UNEXPECTED_ENCODING);
    return nullptr;
  }
  HCRYPTMSG msg;
  if (DWORD rc = SignedEncoder::Open(info, (flags & CMSG_DETACHED_FLAG) != 0, stream, &msg)) {
    SetLastError(rc);
    return nullptr;
  }
  return msg;
}

HCRYPTMSG CryptMsgOpenToDecode(DWORD /*encoding*/, DWORD flags, DWORD msg_type, HCRYPTPROV_LEGACY /*prov*/,
                               const CERT_INFO* /*recipient*/, const CMSG_STREAM_INFO* stream) {
  if (msg_type != 0 && msg_type != CMSG_DATA && msg_type != CMSG_SIGNED && msg_type != CMSG_ENVELOPED) {
    SetLastError(CRYPT_E_INVALID_MSG_TYPE);
    return nullptr;
  }
  return std::make_shared<MsgDecoder>(flags, msg_type, stream);
}

bool CryptMsgUpdate(const HCRYPTMSG& msg, const BYTE* data, DWORD size, bool final) {
  if (msg == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Result(msg->Update(data, size, final));
}

bool CryptMsgClose(HCRYPTMSG& msg) {
  msg.reset();
  return true;
}

bool CryptMsgGetParam(const HCRYPTMSG& msg, DWORD param, DWORD index, Bytes* value) {
  if (msg == nullptr || value == nullptr) return Fail(msg == nullptr ? ERROR_INVALID_HANDLE : E_INVALIDARG);
  return Result(msg->GetBytes(param, index, value));
}

bool CryptMsgGetParam(const HCRYPTMSG& msg, DWORD param, DWORD /*index*/, DWORD* value) {
  if (msg == nullptr || value == nullptr) return Fail(msg == nullptr ? ERROR_INVALID_HANDLE : E_INVALIDARG);
  return Result(msg->GetNumber(param, value));
}

bool CryptMsgGetParam(const HCRYPTMSG& msg, DWORD param, DWORD index, BYTE* data, DWORD* size) {
  if (msg == nullptr || size == nullptr) return Fail(msg == nullptr ? ERROR_INVALID_HANDLE : E_INVALIDARG);
  Bytes value;
  DWORD number = 0;
  DWORD rc = msg->GetBytes(param, index, &value);
  if (rc == CRYPT_E_INVALID_MSG_TYPE && msg->GetNumber(param, &number) == 0) {
    value.assign(reinterpret_cast<const char*>(&number), sizeof number);
    rc = 0;
  }
  if (rc != 0) return Fail(rc);
  return CopyOut(value, data, size);
}

bool CryptMsgGetParam(const HCRYPTMSG& msg, DWORD param, DWORD index, CERT_INFO* value) {
  if (msg == nullptr || value == nullptr) return Fail(msg == nullptr ? ERROR_INVALID_HANDLE : E_INVALIDARG);
  return Result(msg->GetCertInfo(param, index, value));
}

bool CryptMsgGetParam(const HCRYPTMSG& msg, DWORD param, DWORD index, CRYPT_ATTRIBUTES* value) {
  if (msg == nullptr || value == nullptr) return Fail(msg == nullptr ? ERROR_INVALID_HANDLE : E_INVALIDARG);
  return Result(msg->GetAttributes(param, index, value));
}

bool CryptMsgGetParam(const HCRYPTMSG& msg, DWORD param, DWORD index, CRYPT_ALGORITHM_IDENTIFIER* value) {
  if (msg == nullptr || value == nullptr) return Fail(msg == nullptr ? ERROR_INVALID_HANDLE : E_INVALIDARG);
  return Result(msg->GetAlgorithm(param, index, value));
}

bool CryptMsgGetParam(const HCRYPTMSG& msg, DWORD param, DWORD index, CMSG_CMS_RECIPIENT_INFO* value) {
  if (msg == nullptr || value == nullptr) return Fail(msg == nullptr ? ERROR_INVALID_HANDLE : E_INVALIDARG);
  if (param != CMSG_CMS_RECIPIENT_INFO_PARAM) return Fail(CRYPT_E_INVALID_MSG_TYPE);
  return Result(msg->GetRecipient(index, value));
}

bool CryptMsgControl(const HCRYPTMSG& msg, DWORD /*flags*/, DWORD ctrl, const CERT_INFO* cert_info) {
  if (msg == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (ctrl != CMSG_CTRL_VERIFY_SIGNATURE) return Fail(CRYPT_E_CONTROL_TYPE);
  if (cert_info == nullptr) return Fail(E_INVALIDARG);
  DWORD index = 0;
  if (DWORD rc = msg->FindSigner(*cert_info, &index)) return Fail(rc);
  return Result(msg->VerifySigner(index, cert_info->SubjectPublicKeyInfo));
}

bool CryptMsgControl(const HCRYPTMSG& msg, DWORD /*flags*/, DWORD ctrl,
                     const CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA& para) {
  if (msg == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (ctrl != CMSG_CTRL_VERIFY_SIGNATURE_EX) return Fail(CRYPT_E_CONTROL_TYPE);
  if (para.dwSignerType == CMSG_VERIFY_SIGNER_CERT && para.pvSigner != nullptr)
    return Result(msg->VerifySigner(para.dwSignerIndex, para.pvSigner->Info().SubjectPublicKeyInfo));
  if (para.dwSignerType == CMSG_VERIFY_SIGNER_PUBKEY && para.pvSignerKey != nullptr)
    return Result(msg->VerifySigner(para.dwSignerIndex, *para.pvSignerKey));
  return Fail(E_INVALIDARG);
}

bool CryptMsgControl(const HCRYPTMSG& msg, DWORD /*flags*/, DWORD ctrl, const CMSG_CTRL_DECRYPT_PARA& para) {
  if (msg == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (ctrl != CMSG_CTRL_DECRYPT) return Fail(CRYPT_E_CONTROL_TYPE);
  return Result(msg->Decrypt(para));
}

bool CryptMsgControl(const HCRYPTMSG& msg, DWORD /*flags*/, DWORD ctrl, const CMSG_CTRL_KEY_AGREE_DECRYPT_PARA& para) {
  if (msg == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (ctrl != CMSG_CTRL_KEY_AGREE_DECRYPT) return Fail(CRYPT_E_CONTROL_TYPE);
  return Result(msg->AgreeDecrypt(para));
}

}  // namespace zuntar
