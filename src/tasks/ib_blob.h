// Blob columns as byte strings.
#pragma once

#include <ibase.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace zuntar {

class IbTransaction;

// The pieces blobs are written and read in; a segment's length is an
// unsigned short.
inline constexpr size_t kBlobSegment = 32768;

// Reads the whole blob `id` within `transaction`. Throws EIBInterBaseError.
std::string ReadBlob(IbTransaction& transaction, ISC_QUAD id);

// Stores `bytes` as a new blob within `transaction` and returns its id,
// which a statement of the same transaction then assigns to a column.
ISC_QUAD WriteBlob(IbTransaction& transaction, std::string_view bytes);

// A new blob written piece by piece within a transaction, for bytes that
// are not all at hand at once. Close gives the id WriteBlob gives; a blob
// never closed is discarded with its writer. Throws EIBInterBaseError.
class IbBlobWriter {
 public:
  explicit IbBlobWriter(IbTransaction& transaction);
  ~IbBlobWriter();
  IbBlobWriter(const IbBlobWriter&) = delete;
  IbBlobWriter& operator=(const IbBlobWriter&) = delete;

  void Append(std::string_view bytes);
  ISC_QUAD Close();

 private:
  isc_blob_handle handle_ = 0;
  ISC_QUAD id_{};
};

}  // namespace zuntar
