// Failures of the database layer.
//
// Replies and log lines name the class of a failure, so the names are the
// ones the plugin has always shown: EIBInterBaseError for an error the
// Firebird client or engine reported through its status vector, and
// EIBClientError for a misuse our layer detects before calling Firebird
// (an unknown parameter, a value that does not fit its column).
#pragma once

#include <ibase.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/exception.h"

namespace zuntar {

ZUNTAR_DEFINE_EXCEPTION(EIBError, Exception);

class EIBInterBaseError : public EIBError {
 public:
  EIBInterBaseError(const std::string& message, int32_t sql_code, int64_t ib_error_code,
                    std::vector<int64_t> all_codes)
      : EIBError(message), sql_code_(sql_code), ib_error_code_(ib_error_code), all_codes_(std::move(all_codes)) {}
  const char* ClassName() const noexcept override { return "EIBInterBaseError"; }

  // The SQLCODE (isc_sqlcode) of the status vector.
  int32_t SQLCode() const { return sql_code_; }
  // The first Firebird error code of the status vector, e.g. 335544345.
  int64_t IBErrorCode() const { return ib_error_code_; }
  // Every error code of the vector, the first one included.
  const std::vector<int64_t>& AllCodes() const { return all_codes_; }

 private:
  int32_t sql_code_;
  int64_t ib_error_code_;
  std::vector<int64_t> all_codes_;
};

ZUNTAR_DEFINE_EXCEPTION(EIBClientError, EIBError);

// The exception a failed status vector stands for: the message lines
// Firebird gives for it, joined by CR LF, and its codes.
EIBInterBaseError StatusError(const ISC_STATUS* status);

// Throws StatusError(status) when the status vector reports a failure.
inline void CheckStatus(const ISC_STATUS* status) {
  if (status[0] == 1 && status[1] != 0) throw StatusError(status);
}

}  // namespace zuntar
