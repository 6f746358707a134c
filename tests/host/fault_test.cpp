// Faults a running plugin must live through, each with the real program on
// a free port with its own platform tree and database, bounded to a minute
// or so: its Firebird server killed and restarted under load, the plugin
// itself killed with tasks queued, the disk of its log running full, and
// its database's disk too full for a synchronous task's record.
// Every task a page got an id for must end with its result or an error.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "firebird_server.h"
#include "task_service_fixture.h"

namespace zuntar {
namespace {

using Clock = std::chrono::steady_clock;

// A tmpfs of the given size on a folder of its own, for the test's life.
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& size) {
    const std::string options = "size=" + size + ",mode=0755";
    if (::mount("zuntar-test", dir_.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
      mounted_ = true;
    else
      error_ = std::strerror(errno);
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  const std::string& path() const { return dir_.path(); }

  // Writes a filler file until the disk refuses even one byte.
  void Fill() {
    const int fd = ::open((dir_ / "filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const std::string block(65536, 'f');
    for (size_t size = block.size(); size > 0; size /= 2)
      while (::write(fd, block.data(), size) > 0) {
      }
    ::close(fd);
  }
  void Free() { std::remove((dir_ / "filler").c_str()); }

 private:
  test::TempDir dir_;
  bool mounted_ = false;
  std::string error_;
};

class Faults : public TaskService {
 protected:
  struct Sent {
    std::string id;
    Bytes data;
  };

  // Pages sending GETSIGN requests (and asking for earlier results) from
  // several threads until Stop; a reply with an id is a task that must end.
  class Load {
   public:
    Load(Faults& test, int clients)
        : test_(test), target_("/MERVO/GETSIGN?CertSN=" + test.people_["ivanov"].serial) {
      for (int c = 0; c < clients; ++c) threads_.emplace_back([this, c] { Client(c); });
    }
    ~Load() { Stop(); }
    void Stop() {
      stop_.store(true);
      for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    }
    size_t count() {
      std::lock_guard lock(mu_);
      return sent_.size();
    }
    std::vector<Sent> sent() {
      std::lock_guard lock(mu_);
      return sent_;
    }
    // Waits until `more` further tasks were accepted; false after `limit`.
    bool WaitForMore(size_t more, std::chrono::seconds limit) {
      const size_t target = count() + more;
      for (const auto until = Clock::now() + limit; count() < target;) {
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(20ms);
      }
      return true;
    }

   private:
    void Client(int c) {
      std::string last_id;
      for (unsigned seed = static_cast<unsigned>(c) << 20; !stop_.load(); ++seed) {
        try {
          if (!last_id.empty()) test_.Get("/MERVO/GETRESULT?Id=" + last_id);
          Bytes data = Data(512, seed);
          const std::string id = DataText(test_.Post(target_, data).body);
          if (id.empty()) continue;  // refused (no database): the page knows, nothing to follow
          last_id = id;
          std::lock_guard lock(mu_);
          sent_.push_back({id, std::move(data)});
        } catch (const std::exception&) {
          // No connection: the page tries again.
        }
        std::this_thread::sleep_for(5ms);
      }
    }

    Faults& test_;
    const std::string target_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<Sent> sent_;
    std::vector<std::thread> threads_;
  };

  // GETRESULT until the task's own answer, 200 or 500 in an envelope;
  // 201 (pending) and a "#Error#" text (no database right now) are asked
  // again until `limit` has passed. The last reply.
  HttpReply FinalResult(const std::string& id, std::chrono::seconds limit = 60s) {
    HttpReply reply;
    for (const auto until = Clock::now() + limit;;) {
      try {
        reply = Get("/MERVO/GETRESULT?Id=" + id);
      } catch (const std::exception&) {
        reply = HttpReply();
      }
      if ((reply.status == 200 || reply.status == 500) && reply.body.starts_with("{")) return reply;
      if (Clock::now() >= until) return reply;
      std::this_thread::sleep_for(20ms);
    }
  }

  // The plugin on a database of `server`, which runs.
  PluginProcess& LaunchOnServer(test::FirebirdServer& server) {
    EXPECT_TRUE(server.Start());
    const std::string config = "DBPATH=" + server.DatabaseUrl("tasks.fdb") + "\r\nDBUSER=" + server.user() +
                               "\r\nDBPASSWORD=" + server.password() + "\r\n";
    WriteStringToFile(config, box_.config_file());
    std::string err;
    EXPECT_EQ(box_.Run({"-CREATEDB"}, nullptr, &err), 0) << err << box_.Log();
    return Launch(box_, port_, false, config, /*create_database=*/false);
  }

  // Every task ended with a signature openssl verifies.
  void ExpectSigned(const std::vector<Sent>& sent) {
    for (const Sent& s : sent) {
      const HttpReply reply = FinalResult(s.id);
      ASSERT_EQ(reply.status, 200) << s.id << ": " << reply.body;
      EXPECT_TRUE(OpensslVerifies(Base64Decode(DataText(reply.body)), s.data, true)) << s.id;
    }
  }
};

TEST_F(Faults, TasksOutliveTheirFirebirdServerKilledAndRestartedUnderLoad) {
  if (!test::FirebirdServer::Installed()) GTEST_SKIP() << "no Firebird server here (firebird3.0-server)";
  test::FirebirdServer server;
  PluginProcess& plugin = LaunchOnServer(server);

  Load load(*this, 4);
  ASSERT_TRUE(load.WaitForMore(60, 30s)) << box_.Log();
  server.Kill();
  std::this_thread::sleep_for(1500ms);  // pages keep sending meanwhile
  ASSERT_TRUE(server.Start());
  // Tasks are taken again once the server is back.
  EXPECT_TRUE(load.WaitForMore(60, 30s)) << box_.Log();
  load.Stop();
  ASSERT_TRUE(plugin.Running());

  const std::vector<Sent> sent = load.sent();
  ExpectSigned(sent);
  const std::map<std::string, int> runs = Runs({&box_});
  for (const Sent& s : sent) EXPECT_GE(runs.count(s.id) ? runs.at(s.id) : 0, 1) << s.id;
}

TEST_F(Faults, ResultsAreAnsweredAtOnceWhenTheFirebirdServerIsBack) {
  if (!test::FirebirdServer::Installed()) GTEST_SKIP() << "no Firebird server here (firebird3.0-server)";
  test::FirebirdServer server;
  LaunchOnServer(server);
  const std::string target = "/MERVO/GETSIGN?CertSN=" + people_["ivanov"].serial;
  std::vector<Sent> sent;
  for (unsigned i = 0; i < 4; ++i) {
    sent.push_back({"", Data(100, i)});
    sent.back().id = Queue(target, sent.back().data);
  }
  ExpectSigned(sent);  // the workers keep their connections for the next requests

  // Restarted while nobody asked: the connections the workers kept are gone.
  server.Kill();
  ASSERT_TRUE(server.Start());
  for (int round = 0; round < 2; ++round)
    for (const Sent& s : sent) {
      const HttpReply reply = Get("/MERVO/GETRESULT?Id=" + s.id);
      EXPECT_EQ(reply.status, 200) << reply.body;
      EXPECT_TRUE(OpensslVerifies(Base64Decode(DataText(reply.body)), s.data, true)) << reply.body;
    }
  sent.push_back({"", Data(100, 9)});
  sent.back().id = Queue(target, sent.back().data);
  ExpectSigned(sent);
}

TEST_F(Faults, TasksQueuedWhenThePluginIsKilledFinishAfterItsRestart) {
  PluginProcess* plugin = &Launch();
  const std::string target = "/MERVO/GETSIGN?CertSN=" + people_["ivanov"].serial;
  // A long task first: the processing thread is busy with it while the
  // others are queued behind it.
  std::vector<Sent> sent{{"", Data(size_t{16} << 20, 99)}};
  const std::string body = Base64Encode(sent[0].data);
  const HttpReply long_task = test::ParseReply([&] {
    const int fd = test::Connect(port_);
    test::SendAll(fd, "POST " + target + " HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body);
    std::string raw = test::ReadAll(fd, 120000);  // a busy machine may take its time
    ::close(fd);
    return raw;
  }());
  sent[0].id = DataText(long_task.body);
  ASSERT_FALSE(sent[0].id.empty()) << long_task.raw;
  for (unsigned i = 0; i < 12; ++i) {
    sent.push_back({"", Data(300, i)});
    sent.back().id = Queue(target, sent.back().data);
  }
  plugin->Signal(SIGKILL);
  ASSERT_FALSE(plugin->WaitExit(10s).has_value());  // ended by the signal
  const std::map<std::string, int> done_before = Runs({&box_});
  EXPECT_LT(done_before.size(), sent.size()) << "every task ended before the kill; nothing was left queued";

  Launch(box_, port_, false, "", /*create_database=*/false);
  ExpectSigned(sent);
  const std::map<std::string, int> runs = Runs({&box_});
  for (const Sent& s : sent) EXPECT_EQ(runs.count(s.id) ? runs.at(s.id) : 0, 1) << s.id;
}

TEST_F(Faults, APluginWhoseLogDiskIsFullKeepsServing) {
  SmallDisk disk("256k");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here: " << disk.error();
  PluginProcess& plugin = Launch(false, "LOGDIRNAME=" + disk.path() + "\r\n");
  const std::string log_file = disk.path() + "ZuntarMervoPlugin.log";
  auto log = [&] { return ReadFileToString(log_file); };
  ASSERT_NE(log().find(test::StartLine(true)), std::string::npos);

  disk.Fill();
  const Person& ivanov = people_["ivanov"];
  const Bytes data = Data(20000);
  for (int i = 0; i < 3; ++i) {
    const HttpReply ping = Get("/MERVO/PING");
    EXPECT_EQ(ping.status, 200);
    EXPECT_TRUE(ping.body.starts_with("{")) << ping.body;
  }
  const HttpReply sync = Post("/MERVO/GETSIGN_SYNC?CertSN=" + ivanov.serial, data);
  EXPECT_TRUE(OpensslVerifies(Base64Decode(DataText(sync.body)), data, true)) << sync.body;
  EXPECT_TRUE(OpensslVerifies(ResultBytes(Queue("/MERVO/GETSIGN?CertSN=" + ivanov.serial, data)), data, true));
  EXPECT_EQ(Get("/MERVO/GETLOGFILE").status, 200);
  const size_t full_size = log().size();
  ASSERT_TRUE(plugin.Running());

  // Space again: logging goes on, each line whole on a line of its own.
  disk.Free();
  EXPECT_EQ(Get("/MERVO/GETVER?mark=resumed").status, 200);
  const std::string request = "DEBUG <<Request: \"/MERVO/GETVER/mark=resumed\"";
  std::string text;
  for (const auto until = Clock::now() + 10s; Clock::now() < until; std::this_thread::sleep_for(10ms))
    if ((text = log()).find(request) != std::string::npos) break;
  const size_t at = text.find(request);
  ASSERT_NE(at, std::string::npos) << text.substr(full_size);
  ASSERT_GE(at, full_size + 24);
  EXPECT_EQ(text.substr(at - 26, 2), "\r\n") << text.substr(full_size);
}

TEST_F(Faults, APluginWhoseLogMayGrowNoFurtherKeepsServing) {
  // The limit a service may be given for the files it writes, inherited
  // by the plugin; room for the database, little for the log.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit low = old;
  low.rlim_cur = 4 << 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  PluginProcess& plugin = Launch();
  setrlimit(RLIMIT_FSIZE, &old);

  // The body is logged (LOG_LEVEL 3): the log reaches its limit.
  const HttpReply big = test::Request(port_, "POST", "/MERVO/NOSUCH", std::string(5 << 20, 'b'));
  EXPECT_EQ(big.body, "#Error#ReglamentException Unknown command \"NOSUCH\"");
  const Bytes data = Data(1000);
  const HttpReply sync = Post("/MERVO/GETSIGN_SYNC?CertSN=" + people_["ivanov"].serial, data);
  EXPECT_TRUE(OpensslVerifies(Base64Decode(DataText(sync.body)), data, true)) << sync.body;
  EXPECT_EQ(Get("/MERVO/PING").status, 200);
  EXPECT_TRUE(plugin.Running());
}

TEST_F(Faults, ASynchronousSignatureWhoseRecordNoLongerFitsIsAnsweredAndItsRowClosedAtTheNextStart) {
  // The database alone on a small disk: the input fits, the message written
  // beside the reply does not.
  SmallDisk disk("8m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here: " << disk.error();
  const std::string config = "DBPATH=" + disk.path() + "tasks.fdb\r\n";
  WriteStringToFile(config, box_.config_file());
  ASSERT_EQ(box_.Run({"-CREATEDB"}), 0);
  PluginProcess& plugin = Launch(box_, port_, false, config, /*create_database=*/false);
  const Bytes data = Data(size_t{3} << 20);
  const HttpReply reply = Post("/MERVO/GETSIGN_ATT_SYNC?CertSN=" + people_["ivanov"].serial + "&TaskId=nofit", data);
  EXPECT_TRUE(OpensslVerifies(Base64Decode(DataText(reply.body)), data, false)) << reply.body.substr(0, 200);
  EXPECT_NE(box_.Log().find("task nofit: the record of the synchronous task was not kept"), std::string::npos);
  EXPECT_EQ(Get("/MERVO/GETRESULT?Id=nofit").status, 201);  // let go at status 1

  ASSERT_EQ(plugin.Terminate(), 0);
  Launch(box_, port_, false, config, /*create_database=*/false);
  const HttpReply closed = Get("/MERVO/GETRESULT?Id=nofit");
  EXPECT_EQ(closed.status, 500);
  EXPECT_NE(closed.body.find("результат не сохранён"), std::string::npos) << closed.body;
}

TEST_F(Faults, TasksOnAFullDiskAreRefusedOrFinished) {
  // The database and the log on one disk, as beside the executable.
  SmallDisk disk("8m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here: " << disk.error();
  const std::string config = "DBPATH=" + disk.path() + "tasks.fdb\r\nLOGDIRNAME=" + disk.path() + "\r\n";
  WriteStringToFile(config, box_.config_file());
  ASSERT_EQ(box_.Run({"-CREATEDB"}), 0);
  PluginProcess& plugin = Launch(box_, port_, false, config, /*create_database=*/false);
  const std::string target = "/MERVO/GETSIGN?CertSN=" + people_["ivanov"].serial;

  disk.Fill();
  std::vector<Sent> sent;
  for (unsigned i = 0; i < 20; ++i) {
    Bytes data = Data(20000, i);
    const HttpReply reply = Post(target, data);
    const std::string id = DataText(reply.body);
    if (!id.empty())
      sent.push_back({id, std::move(data)});
    else  // refused, and the page is told so
      EXPECT_TRUE(reply.body.starts_with("#Error#EIBInterBaseError ")) << reply.body;
  }
  EXPECT_LT(sent.size(), 20u);
  ASSERT_TRUE(plugin.Running());

  disk.Free();
  sent.push_back({"", Data(100, 99)});
  sent.back().id = Queue(target, sent.back().data);
  ExpectSigned(sent);
}

}  // namespace
}  // namespace zuntar
