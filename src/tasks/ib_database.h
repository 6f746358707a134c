// A connection to a Firebird database through the ISC client API.
//
// The path is a file opened by the embedded engine, or "host:/path" for a
// server; the code is the same for both. The connection uses SQL dialect 3
// and no character set of its own, so texts travel as unchanged bytes.
#pragma once

#include <ibase.h>

#include <cstdint>
#include <string>

namespace zuntar {

class IbDatabase {
 public:
  IbDatabase() = default;
  ~IbDatabase();
  IbDatabase(const IbDatabase&) = delete;
  IbDatabase& operator=(const IbDatabase&) = delete;

  static constexpr unsigned short kDialect = 3;

  std::string DatabaseName;
  std::string UserName;
  std::string Password;

  // Attaches DatabaseName with UserName and Password. Throws
  // EIBInterBaseError; a connection already open is kept.
  void Open();
  // The page size of databases Create makes: the largest Firebird 3 has.
  // With forced writes every page of a blob is a write of its own that
  // waits for the disk, so a task's large input or result costs half the
  // waits it would with 8 KiB pages. Databases made with other page sizes
  // open as they are.
  static constexpr int kCreatedPageSize = 16384;

  // Creates DatabaseName (page size kCreatedPageSize, character set NONE)
  // and stays attached to it. Fails when the file exists. Throws
  // EIBInterBaseError.
  void Create();
  // Detaches. Every transaction must have ended. Throws EIBInterBaseError.
  void Close();
  bool Connected() const { return handle_ != 0; }

  // Grows with every attach, so statements notice they were prepared on an
  // earlier connection.
  uint64_t ConnectionSerial() const { return serial_; }
  isc_db_handle* Handle() { return &handle_; }

  // Whether the engine writes every page to disk before a commit returns.
  bool ForcedWrites();
  int PageSize();

 private:
  // A numeric item of isc_database_info.
  int64_t Info(char item);

  isc_db_handle handle_ = 0;
  uint64_t serial_ = 0;
};

}  // namespace zuntar
