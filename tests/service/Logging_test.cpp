#include <gtest/gtest.h>

#include <thread>

#include "FakeSocket.h"
#include "TestSupport.h"
#include "platform/Logging.h"

namespace tavo {
namespace {

struct RestartCase {
  int hour, minute;
  int failures;
  bool restarts;
};

TEST(Logging, RestartDecisionByCountAndHour) {
  const RestartCase cases[] = {
      {12, 0, 20, false}, {12, 0, 21, true},  {18, 0, 5, false}, {18, 0, 6, true},
      {6, 59, 5, false},  {6, 59, 6, true},   {7, 0, 6, false},  {17, 59, 20, false},
      {23, 59, 6, true},  {0, 0, 6, true},    {0, 0, 0, false},
  };
  for (const auto& c : cases) {
    test::TLogEnv env;
    env.clock.Set(EncodeDateTime(2026, 12, 10, c.hour, c.minute, 0));
    int restarts = 0;
    env.log.SetRestartHandler([&] { ++restarts; }, [] {});
    for (int i = 0; i < c.failures; ++i) {
      env.log.IncErrorCount();
      env.log.Logg("failure", ltError);
    }
    EXPECT_EQ(restarts, c.restarts ? 1 : 0) << c.hour << ":" << c.minute << " x" << c.failures;
    if (c.restarts) {
      EXPECT_EQ(env.log.ErrorCount(), 0);
    }
  }
}

TEST(Logging, CountFromAfternoonRestartsOnFirstCallAfterSix) {
  test::TLogEnv env;
  int restarts = 0;
  env.log.SetRestartHandler([&] { ++restarts; }, [] {});
  env.clock.Set(EncodeDateTime(2026, 12, 10, 15, 0, 0));
  for (int i = 0; i < 10; ++i) env.log.IncErrorCount();
  env.log.Logg("afternoon", ltInfo);
  EXPECT_EQ(restarts, 0);
  env.clock.Set(EncodeDateTime(2026, 12, 10, 18, 0, 0));
  env.log.Logg("evening info", ltInfo);
  EXPECT_EQ(restarts, 1);
}

TEST(Logging, SeveritiesMapToEntryKinds) {
  test::TLogEnv env;
  env.log.Logg("e", ltError);
  env.log.Logg("w", ltWarning);
  env.log.Logg("i", ltInfo);
  auto entries = env.sink->Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].Type, TEventType::Warning);  // errors go out as warnings
  EXPECT_EQ(entries[0].EventId, 0x80020003u);
  EXPECT_EQ(entries[0].Category, 1);
  EXPECT_EQ(entries[1].Type, TEventType::Warning);
  EXPECT_EQ(entries[2].Type, TEventType::Information);
  EXPECT_EQ(entries[2].EventId, 0x40020001u);
  EXPECT_EQ(entries[2].Source, "Ker Vanta TAVO Server");
  env.eventLog.LogError("restart", 0);
  EXPECT_EQ(env.sink->Entries().back().EventId, 0xC0020002u);
  EXPECT_EQ(env.sink->Entries().back().Type, TEventType::Error);
}

TEST(Logging, ErrorNoticeToConnectionIsTheReverseOfTheFramingRule) {
  test::TLogEnv env;
  auto plain = std::make_shared<test::TFakeSocket>();
  env.log.Logg("bad", ltError, plain);
  EXPECT_EQ(plain->sent, "ERRORMESSAGE:Error from TAVOServer: bad\r\n");

  auto line = std::make_shared<test::TFakeSocket>();
  line->Data = std::make_unique<TTAVOConnectInfo>();
  line->Data->isAndroid = true;
  env.log.Logg("bad", ltError, line);
  EXPECT_EQ(line->sent, "#DATASTART#ERRORMESSAGE:Error from TAVOServer: bad#DATAEND#\r\n");

  auto closed = std::make_shared<test::TFakeSocket>();
  closed->Close();
  env.log.Logg("bad", ltError, closed);
  EXPECT_TRUE(closed->sent.empty());

  auto info = std::make_shared<test::TFakeSocket>();
  env.log.Logg("fine", ltInfo, info);
  EXPECT_TRUE(info->sent.empty());
}

TEST(Logging, FailingSinkNeverMakesLoggFail) {
  test::TLogEnv env;
  env.sink->SetFailing(true);
  auto s = std::make_shared<test::TFakeSocket>();
  EXPECT_NO_THROW(env.log.Logg("lost", ltError, s));
  EXPECT_EQ(s->sent, "ERRORMESSAGE:Error from TAVOServer: lost\r\n");  // the notice still goes
  env.sink->SetFailing(false);
  env.log.Logg("back", ltInfo);
  EXPECT_TRUE(env.sink->Contains("back"));
}

TEST(Logging, DisabledWriterDropsEntries) {
  test::TTempDir dir;
  test::TFakeClock clock;
  TRegistryStore reg(dir / "r.ini");
  auto sink = std::make_shared<TMemorySink>();
  TfisNTEventLog ev(reg, clock, sink, "/x/TAVO_WServer.exe");
  ev.LogInfo("before init", 1);
  EXPECT_TRUE(sink->Entries().empty());
  ev.InitLogging();
  ev.LogInfo("after init", 1);
  EXPECT_EQ(sink->Entries().size(), 1u);
}

TEST(Logging, RegistrationValuesWrittenOnce) {
  test::TLogEnv env;
  const std::string key = TfisNTEventLog::EventSourceKey("Ker Vanta TAVO Server");
  EXPECT_EQ(env.registry.ReadRegString(HKEY_LOCAL_MACHINE, key, "EventMessageFile"),
            "/opt/tavo/TAVO_WServer.exe");
  EXPECT_NE(test::ReadFile(env.registry.FileName()).find("TypesSupported=dword:00000007"),
            std::string::npos);
  // An existing key is left as it is.
  env.registry.WriteRegString(HKEY_LOCAL_MACHINE, key, "EventMessageFile", "/elsewhere");
  env.eventLog.InitLogging();
  EXPECT_EQ(env.registry.ReadRegString(HKEY_LOCAL_MACHINE, key, "EventMessageFile"), "/elsewhere");
}

TEST(Logging, ConcurrentDecisionRestartsOnlyOnce) {
  test::TLogEnv env;
  env.clock.Set(EncodeDateTime(2026, 12, 10, 12, 0, 0));
  std::atomic<int> restarts{0};
  env.log.SetRestartHandler([&] { ++restarts; }, [] {});
  for (int i = 0; i < 21; ++i) env.log.IncErrorCount();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) env.log.Logg("from a worker", ltInfo);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(restarts.load(), 1);
}

TEST(Logging, FailedRestartWritesEntryAndShutsDown) {
  test::TLogEnv env;
  bool fatal = false;
  env.log.SetRestartHandler([] { throw std::runtime_error("no temp"); }, [&] { fatal = true; });
  for (int i = 0; i < 21; ++i) env.log.IncErrorCount();
  env.log.Logg("x", ltInfo);
  EXPECT_TRUE(fatal);
  EXPECT_TRUE(env.sink->Contains("Error Restarting TAVO Server closing Service..."));
}

TEST(EventLineFile, FormatEscapesAndFields) {
  TEventEntry e;
  e.Time = EncodeDateTime(2026, 12, 10, 7, 5, 9);
  e.Type = TEventType::Warning;
  e.EventId = 0x80020003;
  e.Category = 1;
  e.Source = "Ker Vanta TAVO Server";
  e.Message = "a\\b\r\nc \xE5\xE4\xF6";
  EXPECT_EQ(TLineFileSink::FormatLine(e),
            "2026-12-10 07:05:09\tWarning\t0x80020003\t1\tKer Vanta TAVO Server\t"
            "a\\\\b\\r\\nc \xC3\xA5\xC3\xA4\xC3\xB6\n");
}

}  // namespace
}  // namespace tavo
