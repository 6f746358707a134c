#include "tasks/ib_blob.h"

#include <algorithm>

#include "tasks/ib_database.h"
#include "tasks/ib_error.h"
#include "tasks/ib_transaction.h"

namespace zuntar {

namespace {

// An open blob; one that is not closed normally is cancelled, which for a
// blob being written also discards it.
class BlobHandle {
 public:
  BlobHandle() = default;
  ~BlobHandle() {
    if (handle_ == 0) return;
    ISC_STATUS_ARRAY status;
    isc_cancel_blob(status, &handle_);
  }
  BlobHandle(const BlobHandle&) = delete;
  BlobHandle& operator=(const BlobHandle&) = delete;

  isc_blob_handle* get() { return &handle_; }
  void Close() {
    ISC_STATUS_ARRAY status;
    isc_close_blob(status, &handle_);
    CheckStatus(status);
    handle_ = 0;
  }

 private:
  isc_blob_handle handle_ = 0;
};

// The blob's length as the engine reports it; 0 when it cannot say.
size_t TotalLength(BlobHandle& blob) {
  const char item = isc_info_blob_total_length;
  char answer[32] = {};
  ISC_STATUS_ARRAY status;
  if (isc_blob_info(status, blob.get(), 1, &item, sizeof answer, answer) != 0 || answer[0] != item) return 0;
  const auto length = static_cast<short>(isc_vax_integer(answer + 1, 2));
  return static_cast<size_t>(isc_portable_integer(reinterpret_cast<const ISC_UCHAR*>(answer + 3), length));
}

}  // namespace

std::string ReadBlob(IbTransaction& transaction, ISC_QUAD id) {
  BlobHandle blob;
  ISC_STATUS_ARRAY status;
  isc_open_blob2(status, transaction.Database().Handle(), transaction.Handle(), blob.get(), &id, 0, nullptr);
  CheckStatus(status);
  std::string bytes;
  bytes.reserve(TotalLength(blob));  // large blobs grow without copies
  char buffer[kBlobSegment];
  for (;;) {
    unsigned short got = 0;
    const ISC_STATUS rc = isc_get_segment(status, blob.get(), &got, sizeof buffer, buffer);
    if (rc == isc_segstr_eof) break;
    if (rc != 0 && rc != isc_segment) CheckStatus(status);  // isc_segment: a part, more follows
    bytes.append(buffer, got);
  }
  blob.Close();
  return bytes;
}

ISC_QUAD WriteBlob(IbTransaction& transaction, std::string_view bytes) {
  IbBlobWriter blob(transaction);
  blob.Append(bytes);
  return blob.Close();
}

IbBlobWriter::IbBlobWriter(IbTransaction& transaction) {
  ISC_STATUS_ARRAY status;
  isc_create_blob2(status, transaction.Database().Handle(), transaction.Handle(), &handle_, &id_, 0, nullptr);
  CheckStatus(status);
}

IbBlobWriter::~IbBlobWriter() {
  if (handle_ == 0) return;
  ISC_STATUS_ARRAY status;
  isc_cancel_blob(status, &handle_);
}

void IbBlobWriter::Append(std::string_view bytes) {
  ISC_STATUS_ARRAY status;
  for (size_t offset = 0; offset < bytes.size(); offset += kBlobSegment) {
    const size_t n = std::min(kBlobSegment, bytes.size() - offset);
    isc_put_segment(status, &handle_, static_cast<unsigned short>(n), bytes.data() + offset);
    CheckStatus(status);
  }
}

ISC_QUAD IbBlobWriter::Close() {
  ISC_STATUS_ARRAY status;
  isc_close_blob(status, &handle_);
  CheckStatus(status);
  handle_ = 0;
  return id_;
}

}  // namespace zuntar
