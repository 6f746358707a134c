// Blob columns as byte strings.
#pragma once

#include <ibase.h>

#include <string>
#include <string_view>

namespace zuntar {

class IbTransaction;

// Reads the whole blob `id` within `transaction`. Throws EIBInterBaseError.
std::string ReadBlob(IbTransaction& transaction, ISC_QUAD id);

// Stores `bytes` as a new blob within `transaction` and returns its id,
// which a statement of the same transaction then assigns to a column.
ISC_QUAD WriteBlob(IbTransaction& transaction, std::string_view bytes);

}  // namespace zuntar
