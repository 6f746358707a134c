#include "platform/capi/msg/envelope_recipients.h"

#include "platform/capi/base/error_codes.h"

namespace zuntar {
namespace {

CERT_INFO IdOf(const CERT_ID& id) {
  CERT_INFO info;
  if (id.dwIdChoice == CERT_ID_ISSUER_SERIAL_NUMBER) {
    info.Issuer = id.Issuer;
    info.SerialNumber = id.SerialNumber;
  }
  return info;
}

}  // namespace

bool EnvelopeRecipients(const HCRYPTMSG& msg, std::vector<EnvelopeRecipient>& out) {
  out.clear();
  DWORD count = 0;
  if (!CryptMsgGetParam(msg, CMSG_CMS_RECIPIENT_COUNT_PARAM, 0, &count)) return false;
  DWORD key_trans = 0;
  for (DWORD i = 0; i < count; ++i) {
    CMSG_CMS_RECIPIENT_INFO info;
    if (!CryptMsgGetParam(msg, CMSG_CMS_RECIPIENT_INFO_PARAM, i, &info)) return false;
    if (info.dwRecipientChoice == CMSG_KEY_TRANS_RECIPIENT) {
      out.push_back({IdOf(info.KeyTrans.RecipientId), CMSG_KEY_TRANS_RECIPIENT, key_trans++, 0, {}});
    } else if (info.dwRecipientChoice == CMSG_KEY_AGREE_RECIPIENT) {
      const CMSG_KEY_AGREE_RECIPIENT_INFO& agree = info.KeyAgree;
      for (DWORD k = 0; k < agree.rgRecipientEncryptedKeys.size(); ++k)
        out.push_back({IdOf(agree.rgRecipientEncryptedKeys[k].RecipientId), CMSG_KEY_AGREE_RECIPIENT, i, k,
                       agree.OriginatorPublicKeyInfo.PublicKey});
    } else {
      out.push_back({});
    }
  }
  return true;
}

DWORD DecryptEnvelopeRecipient(const HCRYPTMSG& msg, const EnvelopeRecipient& recipient, const HCRYPTPROV& prov,
                               DWORD key_spec) {
  bool done = false;
  if (recipient.choice == CMSG_KEY_AGREE_RECIPIENT) {
    CMSG_CTRL_KEY_AGREE_DECRYPT_PARA para;
    para.hCryptProv = prov;
    para.dwKeySpec = key_spec;
    para.dwRecipientIndex = recipient.index;
    para.dwRecipientEncryptedKeyIndex = recipient.key_index;
    para.OriginatorPublicKey = recipient.originator_key;
    done = CryptMsgControl(msg, 0, CMSG_CTRL_KEY_AGREE_DECRYPT, para);
  } else if (recipient.choice == CMSG_KEY_TRANS_RECIPIENT) {
    CMSG_CTRL_DECRYPT_PARA para;
    para.hCryptProv = prov;
    para.dwKeySpec = key_spec;
    para.dwRecipientIndex = recipient.index;
    done = CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, para);
  } else {
    return CRYPT_E_UNKNOWN_ALGO;
  }
  return done ? 0 : GetLastError();
}

}  // namespace zuntar
