#include "tasks/ib_error.h"

namespace zuntar {

namespace {

// The error codes of a status vector: each isc_arg_gds entry.
std::vector<int64_t> ErrorCodes(const ISC_STATUS* status) {
  std::vector<int64_t> codes;
  for (const ISC_STATUS* p = status; *p != isc_arg_end;) {
    const ISC_STATUS kind = *p++;
    if (kind == isc_arg_warning) break;  // warnings follow the errors
    if (kind == isc_arg_cstring) {
      p += 2;  // length, pointer
      continue;
    }
    if (kind == isc_arg_gds && *p != 0) codes.push_back(*p);
    ++p;
  }
  return codes;
}

}  // namespace

EIBInterBaseError StatusError(const ISC_STATUS* status) {
  const int32_t sql_code = static_cast<int32_t>(isc_sqlcode(status));
  std::vector<int64_t> codes = ErrorCodes(status);
  const int64_t first = codes.empty() ? 0 : codes.front();

  std::string message;
  char line[1024];
  const ISC_STATUS* cursor = status;
  while (fb_interpret(line, sizeof line, &cursor) > 0) {
    if (!message.empty()) message += "\r\n";
    message += line;
  }
  if (message.empty()) message = "Firebird error " + std::to_string(first);
  return EIBInterBaseError(message, sql_code, first, std::move(codes));
}

}  // namespace zuntar
