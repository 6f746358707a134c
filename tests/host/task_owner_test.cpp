// Each task belongs to the web site whose page created it: another site's
// page neither sees nor overwrites it, a program (no Origin) sees them all,
// and a database made before tasks had an owner gets the column at Start.
#include "task_service_fixture.h"
#include "tasks/ib_database.h"
#include "tasks/ib_statement.h"
#include "tasks/ib_transaction.h"
#include "tasks/task_database.h"

namespace zuntar {
namespace {

const std::string kSiteA = "https://a.example";
const std::string kSiteB = "https://b.example";

class TaskOwner : public TaskService {
 protected:
  HttpReply Call(const std::string& method, const std::string& target, const std::string& origin,
                 const Bytes& data = "") {
    return test::Request(port_, method, target, method == "POST" ? Base64Encode(data) : "",
                         origin.empty() ? "" : "Origin: " + origin + "\r\n");
  }
  // The ids of the tasks a GETLOGINFO listing shows.
  std::set<std::string> Listed(const std::string& origin) {
    const std::string body = Call("GET", "/MERVO/GETLOGINFO", origin).body;
    std::set<std::string> ids;
    for (size_t at = body.find("\"Id\":\""); at != std::string::npos; at = body.find("\"Id\":\"", at + 1))
      ids.insert(body.substr(at + 6, body.find('"', at + 6) - at - 6));
    return ids;
  }
};

TEST_F(TaskOwner, ASiteSeesAndReusesOnlyItsOwnTasksAndThoseOfPrograms) {
  Launch(/*service_mode=*/true, "ALLOWEDORIGINS=" + kSiteA + ";" + kSiteB + "\r\n");
  const std::string serial = people_["ivanov"].serial;
  const std::string sign = "/MERVO/GETSIGN?CertSN=" + serial + "&TaskId=";
  EXPECT_EQ(DataText(Call("POST", sign + "of-a", kSiteA, "a's document").body), "ofa");
  EXPECT_EQ(DataText(Call("POST", sign + "of-b", kSiteB, "b's document").body), "ofb");
  EXPECT_EQ(DataText(Call("POST", sign + "program", "", "a program's document").body), "program");
  for (const char* id : {"ofa", "ofb", "program"}) ASSERT_EQ(Result(id).status, 200) << id;

  // Another site's task answers exactly as an id nobody used.
  const HttpReply unknown = Call("GET", "/MERVO/GETRESULT?Id=nobody", kSiteB);
  const HttpReply others = Call("GET", "/MERVO/GETRESULT?Id=ofa", kSiteB);
  EXPECT_EQ(others.status, unknown.status);
  EXPECT_EQ(others.body, ErrorEnvelope("Криптозадание с Id=ofa не найдено"));
  EXPECT_EQ(Call("GET", "/MERVO/GETLOGINFO?TaskId=ofa", kSiteB).body,
            "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"КЗ с Id=ofa не найдено в базе\"]\r\n}");
  EXPECT_EQ(Call("GET", "/MERVO/GETRESULT?Id=ofa", kSiteA).status, 200);
  EXPECT_EQ(Call("GET", "/MERVO/GETRESULT?Id=program", kSiteB).status, 200);
  EXPECT_NE(Call("GET", "/MERVO/GETLOGINFO?TaskId=program", kSiteB).body.find("\"Result\":\""), std::string::npos);
  EXPECT_EQ(Listed(kSiteA), (std::set<std::string>{"program", "ofa"}));
  EXPECT_EQ(Listed(kSiteB), (std::set<std::string>{"program", "ofb"}));
  EXPECT_EQ(Listed(""), (std::set<std::string>{"program", "ofb", "ofa"}));

  // B cannot overwrite A's task (nor a program's), queued or at once; the
  // task keeps its input and result.
  const HttpReply in_data = Call("GET", "/MERVO/GETLOGINFO?TaskId=ofa", kSiteA);
  for (const std::string& target : {sign + "OF-A", "/MERVO/GETSIGN_SYNC?CertSN=" + serial + "&TaskId=ofa",
                                    "/MERVO/SIGN_SEDO_REQUEST?CertSN=" + serial + "&fss_nom=1234567890&TaskId=ofa",
                                    sign + "program"}) {
    SCOPED_TRACE(target);
    const HttpReply refused = Call("POST", target, kSiteB, "b's other document");
    EXPECT_EQ(refused.status, 200);
    const std::string id = target.substr(target.size() - 7) == "program" ? "program" : "ofa";
    EXPECT_EQ(refused.body, ErrorEnvelope("Криптозадание с Id=" + id + " уже создано не этим сайтом"));
  }
  EXPECT_EQ(Call("GET", "/MERVO/GETLOGINFO?TaskId=ofa", kSiteA).body, in_data.body);

  // The site that made a task may send its id again: the task runs anew.
  EXPECT_EQ(DataText(Call("POST", sign + "ofa", kSiteA, "a's second document").body), "ofa");
  EXPECT_TRUE(OpensslVerifies(ResultBytes("ofa"), "a's second document", true));
}

TEST_F(TaskOwner, ADatabaseMadeBeforeTasksHadAnOwnerGetsTheColumnAtStart) {
  // The table as it was first made, with a task stored by a program that
  // knows nothing of owners.
  UseEngineOfTheTest(box_);
  const std::string old_insert =
      "insert into CRYPTO_TASKS (ID,TTYPE,START_TIME,STATUS,CERT_SN,STR_PARAM,IN_DATA) "
      "values (:ID,0,'NOW',0,'00',' ',:IN_DATA)";
  {
    IbDatabase db;
    const Settings settings = DefaultSettings(box_.exe_dir());
    db.DatabaseName = settings.DBPATH;
    db.UserName = settings.DBUSER;
    db.Password = settings.DBPASSWORD;
    db.Create();
    IbTransaction t(db, {"concurrency", "wait"});
    for (const char* sql : kTaskSchema) {
      t.StartTransaction();
      IbStatement(db, t, sql).ExecQuery();
      t.Commit();
    }
    t.StartTransaction();
    IbStatement insert(db, t, old_insert);
    insert.SetString("ID", "older");
    insert.SetString("IN_DATA", "x");
    insert.ExecQuery();
    t.Commit();
  }
  Launch(box_, port_, /*service_mode=*/true, "ALLOWEDORIGINS=" + kSiteA + "\r\n", /*create_database=*/false);
  EXPECT_TRUE(box_.WaitForLog("EVENT Database: column CRYPTO_TASKS.ORIGIN added")) << box_.Log();
  const std::string serial = people_["ivanov"].serial;
  EXPECT_EQ(DataText(Call("POST", "/MERVO/GETSIGN?CertSN=" + serial + "&TaskId=mine", kSiteA, "x").body), "mine");
  EXPECT_EQ(Result("mine").status, 200);

  // A program that does not know the column still stores its tasks in the
  // same table, and every admitted page sees them.
  const std::unique_ptr<TDM> old_program = Database(box_);
  const std::unique_ptr<IbStatement> insert = old_program->NewQuery(true);
  old_program->StartTran(true);
  insert->SetSql(old_insert);
  insert->SetString("ID", "newer");
  insert->SetString("IN_DATA", "y");
  insert->ExecQuery();
  old_program->CommitTran(true);
  EXPECT_EQ(Listed(kSiteA), (std::set<std::string>{"mine", "newer", "older"}));
}

}  // namespace
}  // namespace zuntar
