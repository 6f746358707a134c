#include "http/task_log_commands.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "core/base64.h"
#include "core/process_values.h"
#include "core/text.h"
#include "core/utf.h"
#include "http/origin_list.h"
#include "http/query_params.h"
#include "http/reply.h"
#include "platform/exception.h"
#include "platform/file_io.h"
#include "tasks/crypto_task.h"
#include "tasks/task_dm.h"

namespace zuntar {
namespace {

// Without a TaskId the listing needs no blobs: reading every task's data
// only to drop it would cost as much as the data.
constexpr char kListColumns[] =
    "select ID, TTYPE, START_TIME, MODIFY_TIME, STATUS, CERT_SN, STR_PARAM from CRYPTO_TASKS ";
constexpr char kListOrder[] = "order by START_TIME desc";
// A page sees the tasks of its own site and those of programs.
constexpr char kOwnTasks[] = "(ORIGIN is null or ORIGIN = :ORIGIN)";

std::string QuotedSql(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

// One member: its key text, the value, and the quote that ends it; every
// member but the last is followed by a comma.
void Member(std::string& out, const char* key, const std::string& value) {
  out += key;
  out += value;
  out += "\",";
}

std::string OptionalText(IbStatement& row, const char* column) {
  const IbField field = row.Field(column);
  return field.IsNull() ? std::string() : field.AsString();
}

// One task as the listing shows it. The caller's texts (serial, thumbprint,
// parameter, id) are escaped: they came from a query string.
std::string RowObject(IbStatement& row, bool with_data) {
  const int status = static_cast<int>(row.Field("STATUS").AsInteger());
  const IbField modified = row.Field("MODIFY_TIME");
  std::string out = "{";
  Member(out, "\"StartTime\": \"", FormatTaskTime(row.Field("START_TIME").AsDateTime()));
  Member(out, "\"ModifyTime\": \"", FormatTaskTime(modified.IsNull() ? 0 : modified.AsDateTime()));
  const std::string cert_sn = Trim(OptionalText(row, "CERT_SN"));
  if (!cert_sn.empty() && cert_sn[0] == '@')
    Member(out, "\"Thumbprint\":\"", JsonEscape(cert_sn.substr(1)));
  else if (!cert_sn.empty())
    Member(out, "\"Serial\":\"", JsonEscape(cert_sn));
  Member(out, "\"Status\":\"", TaskStatusLabel(status));
  Member(out, "\"Type\":\"", TaskTypeLabel(static_cast<int>(row.Field("TTYPE").AsInteger())));
  const std::string params = OptionalText(row, "STR_PARAM");
  if (!params.empty()) Member(out, "\"Params\":\"", JsonEscape(params));
  if (with_data) {
    if (const IbField in = row.Field("IN_DATA"); !in.IsNull()) Member(out, "\"InData\":\"", Base64Encode(in.AsString()));
    const IbField result = row.Field("OUT_DATA");
    if (!result.IsNull() && status == kTaskStatusSuccess)
      Member(out, "\"Result\":\"", Base64Encode(result.AsString()));
    else if (!result.IsNull() && status == kTaskStatusError)
      Member(out, "\"Error\":\"", Utf8FromAnsi(JsonEscape(result.AsString())));
  }
  out += "\"Id\":\"";
  out += JsonEscape(row.Field("ID").AsString());
  out += "\"}";
  return out;
}

// The listing's rows written into the reply as they are read: a piece of
// about 64 KiB at a time is held, however many tasks the table keeps. The
// first row was read before the reply began, so that a failing query is
// still answered as a failure.
class TaskListReply : public ReplyBodySource {
 public:
  TaskListReply(std::unique_ptr<IbStatement> rows, bool with_data, std::string first_row)
      : rows_(std::move(rows)), with_data_(with_data), first_row_(std::move(first_row)) {}

  std::optional<uint64_t> Length() const override { return std::nullopt; }

  bool Next(std::string& piece) override {
    piece.clear();
    if (rows_ == nullptr) return false;
    if (!first_row_.empty()) {
      piece = ListReplyHead(true) + first_row_;
      first_row_.clear();
    }
    while (piece.size() < kPiece) {
      if (!rows_->Next()) {
        piece += ListReplyTail({});
        rows_.reset();  // the cursor is closed with its statement
        break;
      }
      piece += ',';
      piece += RowObject(*rows_, with_data_);
    }
    return true;
  }

 private:
  static constexpr size_t kPiece = 64 * 1024;

  std::unique_ptr<IbStatement> rows_;
  const bool with_data_;
  std::string first_row_;
};

// The rows of the listing: one task's with its data, or every task's
// newest first; for a page (`owner`), only its site's tasks and those of
// programs.
std::unique_ptr<IbStatement> TaskRows(TDM& dm, bool by_id, const std::string& id,
                                      const std::optional<std::string>& owner) {
  std::unique_ptr<IbStatement> q = dm.NewQuery(false);
  dm.StartTran(false);
  std::string sql;
  if (by_id)
    sql = "select * from CRYPTO_TASKS where ID = " + QuotedSql(id) + (owner ? std::string(" and ") + kOwnTasks : "");
  else
    sql = kListColumns + (owner ? std::string("where ") + kOwnTasks + " " : "") + kListOrder;
  q->SetSql(sql);
  if (owner) q->SetString("ORIGIN", *owner);
  q->ExecQuery();
  return q;
}

int GetLogInfo(CommandContext& c) {
  if (c.dm == nullptr) throw Exception(AnsiFromUtf8("База данных недоступна"));
  const QueryParams params = ParseParams(c.request.query);
  const bool by_id = params.Has("TaskId");
  const std::string id = params.Value("TaskId");
  std::unique_ptr<IbStatement> rows = TaskRows(*c.dm, by_id, id, TaskOwnerOf(c.request.origin));
  if (rows->Next()) {
    std::string first = RowObject(*rows, by_id);
    c.response.body_source = std::make_unique<TaskListReply>(std::move(rows), by_id, std::move(first));
  } else if (by_id) {
    c.buffer = MakeListReply(false, nullptr, {AnsiFromUtf8("КЗ с Id=") + id + AnsiFromUtf8(" не найдено в базе")});
  } else {
    c.buffer = MakeListReply(true, nullptr, {});
  }
  return 200;
}

int GetLogFile(CommandContext& c) {
  try {
    c.response.body = MakeReply(true, ReadOwnFileTail(LogFileName(), kLogFileReplyLimit), {});
  } catch (const std::exception& e) {
    c.response.body = MakeReply(false, "", {e.what()});
  }
  return 200;
}

}  // namespace

std::string FormatTaskTime(DateTime value) {
  const CalendarTime t = DecodeDateTime(value);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

std::string TaskStatusLabel(int status) {
  static const char* const kLabels[] = {"New", "Wait", "Success", "Error"};
  return status >= 0 && status <= 3 ? kLabels[status] : std::to_string(status);
}

std::string TaskTypeLabel(int type) {
  static const char* const kLabels[] = {"DetachedSign",       "AttachedSign",       "XMLDsig",
                                        "BuildPOVEDRequest",  "BuildSEDORequest",   "Decrypt",
                                        "DecryptFssResponse", "DecryptFssResponse", "SignHash"};
  return type >= 0 && type <= 8 ? kLabels[type] : std::to_string(type);
}

void RegisterTaskLogCommands(CommandRegistry& registry) {
  registry.Register("GETLOGINFO", CommandMethod::kGet, GetLogInfo);
  registry.Register("GETLOGFILE", CommandMethod::kGet, GetLogFile);
}

}  // namespace zuntar
