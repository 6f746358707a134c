// Blob columns as byte strings.
#pragma once

#include <ibase.h>

#include <string>

namespace zuntar {

class IbTransaction;

// Reads the whole blob `id` within `transaction`. Throws EIBInterBaseError.
std::string ReadBlob(IbTransaction& transaction, ISC_QUAD id);

// Stores `bytes` as a new blob within `transaction` and returns its id,
// which a statement of the same transaction then assigns to a column.
ISC_QUAD WriteBlob(IbTransaction& transaction, const std::string& bytes);

}  // namespace zuntar
