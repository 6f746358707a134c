// The provider's self test, answered as PP_SELFTEST.
#pragma once

#include "platform/capi/base/crypt_types.h"

namespace zuntar::csp {

// The self-test block (PP_SELFTEST): kSelfTestBlockSize bytes, the word at
// kSelfTestFailureOffset non-zero when a test failed.
Bytes SelfTestBlock();

}  // namespace zuntar::csp
