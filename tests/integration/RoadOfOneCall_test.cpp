// The road of one call through the real executable: sign-on, call, displays, answer, confirm,
// call log, and what a new process brings back.
#include <gtest/gtest.h>

#include "SeededServer.h"
#include "common/DateTime.h"

namespace tavo {
namespace {

using test::Bare;
using test::Framed;
using test::W;

// Stations and resources after the clients' own examples: Doktor A = 3, Doktor B = 5, the
// cancel resource Avbryt = 9.
void SeedClinic(test::TSeededServer& s) {
  s.Resource(3, "Doktor A", "Doktor Alfa", 255);
  s.Resource(5, "Doktor B", "Doktor Beta", 0);
  s.Resource(9, "Avbryt", "Avbryt", 0);
  s.Station(1, "Rum1", "Rum 1", 65280, 0);
  s.Station(2, "Exp", "Exp", 128, 0);
  s.Station(3, "Visning1", "Visning 1", 0, 1);
  s.Station(4, "Visning2", "Visning 2", 0, 1, "356938035643809");
  s.Station(5, "Visning3", "Visning 3", 0, 1);
  s.Station(6, "Tom", "Tomt rum", 0, 0);
  s.List(1, 3, 1);
  s.List(1, 9, 2);
  s.List(2, 3, 1);
  s.List(3, 3, 1);
  s.List(3, 5, 2);
  s.List(3, 9, 3);
  s.List(4, 5, 1);
  s.List(4, 3, 2);
  s.List(5, 5, 1);
  s.IntSetting("AVBRYTCALLNAME", 9);
}

std::string Req(const std::string& utf8Block) { return "#DATASTART#" + W(utf8Block) + "#DATAEND#"; }

class RoadOfOneCall : public ::testing::Test {
 protected:
  void SetUp() override {
    SeedClinic(s);
    s.Start();
  }
  void TearDown() override { EXPECT_EQ(s.server.Stop(), 0) << s.server.EventLog(); }

  // Connects and sends a sign-on; returns everything received until `until` has arrived.
  std::unique_ptr<test::TLoopbackClient> SignOn(const std::string& name, int kind, bool line,
                                                const std::string& until) {
    auto c = std::make_unique<test::TLoopbackClient>(s.Port());
    const std::string block = "¤GETCALLLIST:" + name + ":" + std::to_string(kind) + ":GETCALLLIST¤";
    c->Send(line ? W(block) + "\r\n" : Req(block));
    EXPECT_TRUE(c->WaitFor(W(until))) << name << " got: " << c->Received();
    return c;
  }
  // Waits for the text and returns all received so far, after a short quiet time.
  std::string Next(test::TLoopbackClient& c, const std::string& until) {
    EXPECT_TRUE(c.WaitFor(W(until))) << "got: " << c.Received();
    c.ReadFor(150);
    return c.Take();
  }
  std::unique_ptr<TQuery> Log() {
    TSqliteDatabase db(s.server.ProgramDir() / "TAVO.sqlite");
    return db.Open("SELECT * FROM CALLLOG ORDER BY LOPNR");
  }

  test::TSeededServer s;
};

TEST_F(RoadOfOneCall, SignOnCallAnswerConfirm) {
  auto rum1 = SignOn("Rum1", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  EXPECT_EQ(rum1->Take(),
            Framed("¤TAVOCLIENTDATA:Rum1:Rum 1:65280:1:TAVOCLIENTDATA¤") +
                Framed("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~0~1899-12-30~~1899-12-30~0~"
                       "Avbryt~9~Avbryt~0~-1~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤"));
  auto exp = SignOn("Exp", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  exp->Take();
  auto vis1 = SignOn("Visning1", 1, false, "CURRENTLIST¤#DATAEND#\r\n");
  EXPECT_EQ(vis1->Take(), Framed("¤TAVOCLIENTDATA:Visning1:Visning 1:0:3:TAVOCLIENTDATA¤") +
                              Framed("¤CURRENTLIST:Doktor A:3:255:1:¤%%¤:Doktor B:5:0:2:¤%%¤:CURRENTLIST¤"));
  // The line-mode display: six fields in its client data, bare lists, its own positions.
  auto vis2 = SignOn("Visning2", 1, true, "CURRENTLIST¤\r\n");
  EXPECT_EQ(vis2->Take(), Bare("¤TAVOCLIENTDATA:Visning2:Visning 2:0:356938035643809::4:TAVOCLIENTDATA¤") +
                              Bare("¤CURRENTLIST:Doktor A:3:255:2:¤%%¤:Doktor B:5:0:1:¤%%¤:CURRENTLIST¤"));
  auto vis3 = SignOn("Visning3", 1, false, "CURRENTLIST¤#DATAEND#\r\n");
  vis3->Take();

  // Open.
  rum1->Send(Req("¤CALLING:3:CALLING¤"));
  const std::string r1 = Next(*rum1, "RETCALLLIST¤#DATAEND#\r\n");
  auto log = Log();
  ASSERT_EQ(log->RecordCount(), 1u);
  EXPECT_EQ(log->AsInteger("STATIONSLOPNR"), 1);
  EXPECT_EQ(log->AsInteger("CALLABLESLOPNR"), 3);
  EXPECT_FALSE(log->AsBoolean("SMSSENT"));
  EXPECT_TRUE(log->IsNull("CONFIRMTSTAMP"));
  const int logLopnr = log->AsInteger("LOPNR");
  const std::string t = DateTimeToStr(log->AsDateTime("CALLTSTAMP"));
  EXPECT_EQ(r1, Framed("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~-1~" + t +
                       "~~1899-12-30~0~Avbryt~9~Avbryt~0~-1~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤"));
  const std::string caller = "Rum 1~1~" + t + "~65280~0~1899-12-30~~";
  EXPECT_EQ(Next(*vis1, "CURRENTLIST¤#DATAEND#\r\n"),
            Framed("¤CURRENTLIST:Doktor A:3:255:1:¤%" + caller + "%¤:Doktor B:5:0:2:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(Next(*vis2, "CURRENTLIST¤\r\n"),
            Bare("¤CURRENTLIST:Doktor A:3:255:2:¤%" + caller + "%¤:Doktor B:5:0:1:¤%%¤:CURRENTLIST¤"));
  // A display that does not list the resource still gets its (unchanged) rendering.
  EXPECT_EQ(Next(*vis3, "CURRENTLIST¤#DATAEND#\r\n"), Framed("¤CURRENTLIST:Doktor B:5:0:1:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(exp->ReadFor(150), "");

  // Answer from Exp: only the connections that list resource 3 hear of it.
  exp->Send(Req("¤COMING:3:1:COMING¤"));
  const std::string e1 = Next(*exp, "RETCALLLIST¤#DATAEND#\r\n");
  log = Log();
  EXPECT_EQ(log->AsInteger("COMINGLOPNR"), 2);
  const std::string tc = DateTimeToStr(log->AsDateTime("COMINGTSTAMP"));
  EXPECT_EQ(Next(*rum1, "RETCALLLIST¤#DATAEND#\r\n"),
            Framed("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~-1~" + t + "~Exp~" + tc +
                   "~2~Avbryt~9~Avbryt~0~-1~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤"));
  EXPECT_EQ(e1, Framed("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤"));
  const std::string answered = "Rum 1~1~" + t + "~65280~2~" + tc + "~Exp~";
  EXPECT_EQ(Next(*vis1, "CURRENTLIST¤#DATAEND#\r\n"),
            Framed("¤CURRENTLIST:Doktor A:3:255:1:¤%" + answered + "%¤:Doktor B:5:0:2:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(Next(*vis2, "CURRENTLIST¤\r\n"),
            Bare("¤CURRENTLIST:Doktor A:3:255:2:¤%" + answered + "%¤:Doktor B:5:0:1:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(vis3->ReadFor(200), "");

  // Confirm: the same command again closes the call.
  rum1->Send(Req("¤CALLING:3:CALLING¤"));
  EXPECT_EQ(Next(*rum1, "RETCALLLIST¤#DATAEND#\r\n"),
            Framed("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~0~1899-12-30~~1899-12-30~0~"
                   "Avbryt~9~Avbryt~0~-1~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤"));
  EXPECT_EQ(Next(*vis1, "CURRENTLIST¤#DATAEND#\r\n"),
            Framed("¤CURRENTLIST:Doktor A:3:255:1:¤%%¤:Doktor B:5:0:2:¤%%¤:CURRENTLIST¤"));
  log = Log();
  ASSERT_EQ(log->RecordCount(), 1u);
  EXPECT_EQ(log->AsInteger("LOPNR"), logLopnr);
  EXPECT_FALSE(log->IsNull("CONFIRMTSTAMP"));
}

TEST_F(RoadOfOneCall, ErrorRepliesInTheirForms) {
  auto unknown = std::make_unique<test::TLoopbackClient>(s.Port());
  unknown->Send(Req("¤GETCALLLIST:Okänd:0:GETCALLLIST¤"));
  EXPECT_EQ(Next(*unknown, "\r\n"), Framed("ERROR: 001 Okänd finns ej upplagd i Systemet!"));
  unknown->Send(W("¤GETCALLLIST:Okänd:0:GETCALLLIST¤\r\n"));
  EXPECT_EQ(Next(*unknown, "\r\n"), Bare("ERROR: 001 Okänd finns ej upplagd i Systemet!"));

  auto tom = SignOn("Tom", 0, false, "inlagda!\r\n");
  EXPECT_EQ(tom->Take(), Framed("¤TAVOCLIENTDATA:Tom:Tomt rum:0:6:TAVOCLIENTDATA¤") +
                             Framed("¤RETCALLLIST~RETCALLLIST¤") +
                             Bare("ERROR: 003 Klienten har inga resurser inlagda!"));

  // A call whose log row the database refuses to change cannot be confirmed.
  auto rum1 = SignOn("Rum1", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  rum1->Take();
  rum1->Send(Req("¤CALLING:3:CALLING¤"));
  Next(*rum1, "RETCALLLIST¤#DATAEND#\r\n");
  {
    TSqliteDatabase db(s.server.ProgramDir() / "TAVO.sqlite");
    db.Execute("CREATE TRIGGER NOEDIT BEFORE UPDATE ON CALLLOG BEGIN SELECT RAISE(ABORT, 'locked'); END");
  }
  rum1->Send(Req("¤CALLING:3:CALLING¤"));
  const std::string reply = Next(*rum1, "RETCALLLIST¤#DATAEND#\r\n");
  EXPECT_EQ(reply.substr(0, reply.find("\r\n") + 2),
            Framed("ERROR: 002 Det gick inte att redigera kallelsen! Kontrollera felen på servern."));
  EXPECT_TRUE(s.server.WaitForLog("Error in EditCallLoggPost: "));
  // Line mode gets it bare.
  test::TLoopbackClient line(s.Port());
  line.Send(W("¤GETCALLLIST:Rum1:0:GETCALLLIST¤\r\n"));
  ASSERT_TRUE(line.WaitFor(W("RETCALLLIST¤\r\n")));
  line.Take();
  line.Send(W("¤CALLING:3:CALLING¤\r\n"));
  const std::string lineReply = Next(line, "servern.\r\n");
  EXPECT_EQ(lineReply.substr(0, lineReply.find("\r\n") + 2),
            Bare("ERROR: 002 Det gick inte att redigera kallelsen! Kontrollera felen på servern."));
}

TEST_F(RoadOfOneCall, TwoCallersTwoConnectionsAndReconnect) {
  auto rum1a = SignOn("Rum1", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto rum1b = SignOn("Rum1", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto exp = SignOn("Exp", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto vis1 = SignOn("Visning1", 1, false, "CURRENTLIST¤#DATAEND#\r\n");
  // A display that signed on silently: no answer now, yet reached by broadcasts.
  test::TLoopbackClient quiet(s.Port());
  quiet.Send(Req("¤RECONNECT:Visning2:1:RECONNECT¤"));
  EXPECT_EQ(quiet.ReadFor(300), "");
  for (auto* c : {rum1a.get(), rum1b.get(), exp.get(), vis1.get()}) c->Take();

  rum1a->Send(Req("¤CALLING:3:CALLING¤"));
  // Both connections of the station get the fresh list.
  Next(*rum1a, "RETCALLLIST¤#DATAEND#\r\n");
  EXPECT_NE(Next(*rum1b, "RETCALLLIST¤#DATAEND#\r\n").find("~-1~"), std::string::npos);
  Next(*vis1, "CURRENTLIST¤#DATAEND#\r\n");
  exp->Send(Req("¤CALLING:3:CALLING¤"));
  Next(*exp, "RETCALLLIST¤#DATAEND#\r\n");
  const std::string both = Next(*vis1, "CURRENTLIST¤#DATAEND#\r\n");
  // Oldest call first.
  const size_t p1 = both.find("Rum 1~1~"), p2 = both.find("Exp~2~");
  ASSERT_NE(p1, std::string::npos);
  ASSERT_NE(p2, std::string::npos);
  EXPECT_LT(p1, p2);
  const std::string q = quiet.ReadFor(300);
  EXPECT_NE(q.find(W("¤CURRENTLIST:Doktor A:3:255:2:¤%Rum 1~1~")), std::string::npos) << q;
  EXPECT_EQ(q.substr(0, 11), W("#DATASTART#"));  // its record was made from a framed request
}

TEST_F(RoadOfOneCall, AdministrationSignOnThroughServerVersion) {
  test::TLoopbackClient admin(s.Port());
  admin.Send(Req("¤GETSERVERVERSION:AdminPC:2:GETSERVERVERSION¤"));
  // Only the version: an administration sign-on sends nothing of its own.
  EXPECT_EQ(Next(admin, "\r\n"), Framed("¤RETSERVERVERSION:1.10.4:RETSERVERVERSION¤"));
  // Signed on as administration, it may ask for any station's list by name and stays itself.
  admin.Send(Req("¤GETCALLLIST:Rum1:0:GETCALLLIST¤"));
  EXPECT_EQ(Next(admin, "RETCALLLIST¤#DATAEND#\r\n"),
            Framed("¤TAVOCLIENTDATA:Rum1:Rum 1:65280:1:TAVOCLIENTDATA¤") +
                Framed("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~0~1899-12-30~~1899-12-30~0~"
                       "Avbryt~9~Avbryt~0~-1~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤"));
  // An administration connection is not a display: a call elsewhere sends it nothing.
  auto rum1 = SignOn("Rum1", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  rum1->Send(Req("¤CALLING:3:CALLING¤"));
  Next(*rum1, "RETCALLLIST¤#DATAEND#\r\n");
  EXPECT_EQ(admin.ReadFor(300), "");
  // Any other kind gets the version alone and stays unsigned: a call station's sign-on follows.
  test::TLoopbackClient other(s.Port());
  other.Send(Req("¤GETSERVERVERSION:Rum1:0:GETSERVERVERSION¤"));
  EXPECT_EQ(Next(other, "\r\n"), Framed("¤RETSERVERVERSION:1.10.4:RETSERVERVERSION¤"));
}

TEST(RoadOfOneCallRestart, NewProcessBringsBackTodaysOpenCallsOnly) {
  test::TSeededServer s;
  SeedClinic(s);
  test::TFakeClock unused;
  TSystemClock clock;
  const TDateTime now = clock.Now();
  const TDateTime today = DateOf(now);
  // A minute ago, but never before midnight; and one from yesterday evening.
  const TDateTime recent = now - 1.0 / 1440 < today ? today : now - 1.0 / 1440;
  auto insert = [&](int lopnr, int station, int resource, TDateTime when) {
    s.Db().Execute("INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP) "
                   "VALUES (?, ?, ?, 0, ?)",
                   {SqlInt(lopnr), SqlInt(station), SqlInt(resource), SqlDateTime(when)});
  };
  insert(1, 2, 3, today - 0.1);  // yesterday 21:36
  insert(2, 1, 3, recent);
  s.Start();
  test::TLoopbackClient vis(s.Port());
  vis.Send(Req("¤GETCALLLIST:Visning1:1:GETCALLLIST¤"));
  ASSERT_TRUE(vis.WaitFor(W("CURRENTLIST¤#DATAEND#\r\n")));
  const std::string list = vis.Take();
  EXPECT_NE(list.find(W("Doktor A:3:255:1:¤%Rum 1~1~" + DateTimeToStr(recent) + "~")), std::string::npos) << list;
  EXPECT_EQ(list.find("Exp~2~"), std::string::npos) << list;
  EXPECT_EQ(s.server.Stop(), 0);
}

}  // namespace
}  // namespace tavo
