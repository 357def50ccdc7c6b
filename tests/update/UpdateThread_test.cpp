// One update run against the HTTPS test gateway (tests/sms/gateway.py) in a program directory
// of its own: what is downloaded, what is put in place, what is kept and what is refused.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "ImageBuilder.h"
#include "common/VersionRecordWriter.h"
#include "sms/SMSTestSupport.h"
#include "update/UUpdateThread.h"

namespace tavo::test {
namespace {

const char kClinic[] = "Solbacken";

// A Windows program file with the given product version ("1.2.3").
std::string PeProgram(const std::string& version, const std::string& tag = "") {
  TVersionRecordFields f;
  f.Strings = {{"ProductVersion", version}, {"Comments", tag}};
  return BuildPeImage(BuildVersionRecord(f));
}

class UpdateThreadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certs_ = new TTempDir;
    cert_ = MakeCertificate(certs_->Path(), "gateway", "IP:127.0.0.1");
  }
  static void TearDownTestSuite() {
    delete certs_;
    certs_ = nullptr;
  }

  void SetUp() override {
    env.SetReg("CAFile", cert_.Cert.string());
    fs::create_directories(files);
    TGatewayOptions o;
    o.Files = files;
    gw = std::make_unique<TTestGateway>(env.work / "gw", cert_, o);
    env.SetReg("HTTPSERVER", gw->Host());
    state->dtLastUpdated = EncodeDateTime(2026, 12, 9, 12, 0, 0);
  }

  void Offer(const std::string& name, const std::string& versionFile, const std::string& bytes) {
    OfferProgramFile(files, name, kClinic, versionFile, bytes);
  }
  static std::string VersionFile(int number) { return VersionFileText(number); }
  fs::path Program(const std::string& name) const { return env.programDir / name; }
  void Put(const std::string& name, const std::string& bytes, mode_t mode = 0644) {
    WriteFile(Program(name), bytes);
    ::chmod(Program(name).c_str(), mode);
  }

  void Run() {
    TUpdateContext ctx;
    ctx.Gateway = std::make_shared<TGatewayState>(TGatewayHosts{});
    ctx.Registry = env.registry;
    ctx.Logging = env.logging;
    ctx.Clock = env.clock;
    ctx.State = state;
    ctx.ProgramDir = env.programDir;
    ctx.ClinicName = kClinic;
    ctx.ExeCheckTimeoutMs = 1500;
    ctx.Timeouts = {5000, 30000};
    TUpdateThread(ctx, false).Execute();
  }

  std::vector<std::string> Paths() const {
    std::vector<std::string> p;
    for (const auto& r : gw->Requests()) p.push_back(r.Path);
    return p;
  }
  bool Ran() const { return state->dtLastUpdated == env.clock->Now(); }

  TSMSEnv env;
  fs::path files = env.work / "files";
  std::unique_ptr<TTestGateway> gw;
  std::shared_ptr<TUpdateState> state = std::make_shared<TUpdateState>();

  static inline TTempDir* certs_ = nullptr;
  static inline TCertificate cert_;
};

TEST_F(UpdateThreadTest, NewerClientProgramIsPutInPlaceAndTheOldOneKept) {
  const std::string oldBytes = PeProgram("1.2.3", "old"), newBytes = PeProgram("1.2.4", "new");
  Put("TAVO_Call.exe", oldBytes);
  Put("Old_TAVO_Call.exe", "the one before");
  Put("Other.exe", "not ours");
  Offer("TAVO_Call.exe", VersionFile(124), newBytes);
  Run();

  EXPECT_EQ(ReadFile(Program("TAVO_Call.exe")), newBytes);
  EXPECT_EQ(ReadFile(Program("Old_TAVO_Call.exe")), oldBytes);
  EXPECT_EQ(env.ProgramFiles(), (std::vector<std::string>{"Old_TAVO_Call.exe", "Other.exe",
                                                          "TAVO_Call.exe",
                                                          "TAVO_Call_version.txt"}));
  EXPECT_EQ(Paths(), (std::vector<std::string>{"/connect",
                                               "/$TAVO_Call.exe$GENERELLVERSION$Solbacken$",
                                               "/$TAVO_Call.exe$GENERELLUPDATE$Solbacken$"}));
  EXPECT_FALSE(state->bStartNewExeFile);  // a client program needs no restart
  EXPECT_TRUE(Ran());
  EXPECT_TRUE(env.Messages().empty()) << env.Messages().front();
}

TEST_F(UpdateThreadTest, VersionNumbersDecideWhetherAnythingIsDownloaded) {
  struct Case {
    const char* what;
    std::string local;
    std::string versionFile;
    bool replaced;
  };
  const Case cases[] = {
      {"equal version", PeProgram("1.2.3"), VersionFile(123), false},
      {"older on the gateway", PeProgram("1.2.3"), VersionFile(122), false},
      {"no version record, 1000 offered", "MZ but nothing else", VersionFile(1000), false},
      {"no version record, 1001 offered", "MZ but nothing else", VersionFile(1001), true},
      {"version file without a number", PeProgram("1.2.3"), "[Programversion]\r\n", false},
  };
  for (const Case& c : cases) {
    fs::remove_all(env.programDir);
    fs::create_directories(env.programDir);
    fs::remove(env.work / "gw" / "requests.tsv");
    Put("TAVO_Show.exe", c.local);
    Offer("TAVO_Show.exe", c.versionFile, "NEW PROGRAM");
    Run();
    EXPECT_EQ(ReadFile(Program("TAVO_Show.exe")), c.replaced ? "NEW PROGRAM" : c.local) << c.what;
    EXPECT_EQ(fs::exists(Program("Old_TAVO_Show.exe")), c.replaced) << c.what;
    EXPECT_EQ(gw->CountRequests("/$TAVO_Show.exe$GENERELLUPDATE$Solbacken$"), c.replaced ? 1u : 0u)
        << c.what;
    EXPECT_FALSE(fs::exists(Program("New_TAVO_Show.exe"))) << c.what;
  }
}

TEST_F(UpdateThreadTest, OwnExecutableIsReplacedByABuildThatRunsHere) {
  const std::string oldBytes = ReadFile(TAVO_SILENT_PROGRAM);  // no version record: 1000
  const std::string newBytes = ReadFile(TAVO_SERVER_EXE);
  Put("TAVO_WServer.exe", oldBytes, 0750);
  Offer("TAVO_WServer.exe", VersionFile(1105), newBytes);
  Run();

  EXPECT_TRUE(ReadFile(Program("TAVO_WServer.exe")) == newBytes);
  EXPECT_TRUE(ReadFile(Program("Old_TAVO_WServer.exe")) == oldBytes);
  EXPECT_FALSE(fs::exists(Program("New_TAVO_WServer.exe")));
  struct stat st {};
  ASSERT_EQ(::stat(Program("TAVO_WServer.exe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_TRUE(state->bStartNewExeFile);
  EXPECT_TRUE(Ran());
}

TEST_F(UpdateThreadTest, OwnExecutableStaysWhenTheDownloadCannotRunHere) {
  struct Case {
    const char* what;
    std::string bytes;
    std::string reason;
  };
  const Case cases[] = {
      {"a Windows program", PeProgram("1.10.5"), "a Windows program, not an ELF executable"},
      {"a program that never answers", ReadFile(TAVO_SILENT_PROGRAM),
       "it did not answer --version within 1500 ms"},
  };
  const std::string running = PeProgram("1.10.4", "running");
  for (const Case& c : cases) {
    fs::remove_all(env.programDir);
    fs::create_directories(env.programDir);
    Put("TAVO_WServer.exe", running, 0755);
    Put("Old_TAVO_WServer.exe", "previous");
    Offer("TAVO_WServer.exe", VersionFile(1105), c.bytes);
    state->bStartNewExeFile = false;
    const size_t before = env.Messages().size();
    Run();

    EXPECT_EQ(ReadFile(Program("TAVO_WServer.exe")), running) << c.what;
    EXPECT_EQ(ReadFile(Program("Old_TAVO_WServer.exe")), "previous") << c.what;
    EXPECT_FALSE(fs::exists(Program("New_TAVO_WServer.exe"))) << c.what;
    EXPECT_FALSE(state->bStartNewExeFile) << c.what;
    const auto messages = env.Messages();
    ASSERT_EQ(messages.size(), before + 1) << c.what;
    EXPECT_EQ(messages.back(),
              "Det gick inte att uppdatera TAVO_WServer till version 1105; " + c.reason);
  }
  EXPECT_EQ(env.logging->ErrorCount(), 0);
}

TEST_F(UpdateThreadTest, ANameInTheWayIsNeverOverwritten) {
  const std::string oldBytes = PeProgram("1.2.3");
  Put("TAVO_Call.exe", oldBytes);
  fs::create_directories(Program("Old_TAVO_Call.exe"));  // the old name cannot be freed
  Offer("TAVO_Call.exe", VersionFile(124), "NEW PROGRAM");
  Run();

  EXPECT_EQ(ReadFile(Program("TAVO_Call.exe")), oldBytes);
  EXPECT_FALSE(fs::exists(Program("New_TAVO_Call.exe")));
  ASSERT_FALSE(env.Messages().empty());
  EXPECT_EQ(env.Messages().back(),
            "Det gick inte att uppdatera TAVO_Call.exe till version 124; Could not rename file!");
  EXPECT_TRUE(Ran());
}

TEST_F(UpdateThreadTest, NoRunWithoutTheGatewayAndNoFileWithoutItsVersionFile) {
  Put("TAVO_Call.exe", PeProgram("1.2.3"));
  // Only the update itself is offered, not its version file.
  WriteFile(files / "$TAVO_Call.exe$GENERELLUPDATE$Solbacken$", "NEW PROGRAM");
  Run();
  EXPECT_EQ(ReadFile(Program("TAVO_Call.exe")), PeProgram("1.2.3"));
  EXPECT_EQ(gw->CountRequests("/$TAVO_Call.exe$GENERELLUPDATE$Solbacken$"), 0u);
  EXPECT_TRUE(Ran());

  const TDateTime last = EncodeDateTime(2026, 12, 10, 9, 0, 0);
  state->dtLastUpdated = last;
  env.SetReg("HTTPSERVER", "127.0.0.1:" + std::to_string(FreeLoopbackPort()));
  const size_t requests = gw->Requests().size();
  Run();
  EXPECT_EQ(gw->Requests().size(), requests);
  EXPECT_EQ(state->dtLastUpdated, last);  // the next tick tries again

  // With no gateway host named anywhere there is nobody to ask, and nothing to log each tick.
  env.SetReg("HTTPSERVER", "");
  const size_t messages = env.Messages().size();
  Run();
  EXPECT_EQ(env.Messages().size(), messages);
  EXPECT_EQ(state->dtLastUpdated, last);
}

}  // namespace
}  // namespace tavo::test
