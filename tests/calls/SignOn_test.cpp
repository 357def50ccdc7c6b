// Sign-on: TAVOCLIENTDATA, RETCALLLIST and the error replies, byte for byte.
#include "CallsFixture.h"

namespace tavo::test {
namespace {

using SignOnTest = CallsTest;

TEST_F(SignOnTest, ClientDataAndEmptyListFramedAndLineMode) {
  auto framed = SignOn("RUM3", 0);
  EXPECT_EQ(Take(framed),
            Framed("¤TAVOCLIENTDATA:RUM3:Rum 3:65280:7:TAVOCLIENTDATA¤") +
                Framed("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~0~1899-12-30~~1899-12-30~0~"
                       "Avbryt~9~Avbryt~0~-1~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤"));

  // Line mode: device identity and an empty field in front of the number; the name as sent.
  auto line = Connect();
  Send(line, "¤GETCALLLIST: RUM3 :0:GETCALLLIST¤", true);
  EXPECT_EQ(Take(line),
            Line("¤TAVOCLIENTDATA:RUM3:Rum 3:65280:356938035643809::7:TAVOCLIENTDATA¤") +
                Line("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~0~1899-12-30~~1899-12-30~0~"
                     "Avbryt~9~Avbryt~0~-1~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤"));
  ASSERT_TRUE(line->Data);
  EXPECT_TRUE(line->Data->isAndroid);
  EXPECT_EQ(line->Data->StationLopnr, 7);
  ASSERT_EQ(line->Data->Callables.size(), 2u);
  EXPECT_EQ(line->Data->Callables[1].CallableLopnr, 9);
  EXPECT_EQ(line->Data->Callables[1].CallableIX, 2);
}

TEST_F(SignOnTest, ListShowsOpenAnsweredCall) {
  // The example list: this station called Doktor A at 10:15:02, Exp answered at 10:16:40.
  auto rum3 = SignOn("RUM3", 0);
  auto exp = SignOn("EXP", 0);
  Take(rum3);
  Calling(rum3, 3);
  At(10, 16, 40);
  Coming(exp, 3, 7);
  Take(rum3);
  Send(rum3, "¤GETCALLLIST:RUM3:0:GETCALLLIST¤");
  EXPECT_EQ(Take(rum3),
            Framed("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~-1~2026-12-09 10:15:02~Exp~"
                   "2026-12-09 10:16:40~4~Avbryt~9~Avbryt~0~-1~0~1899-12-30~~1899-12-30~0~"
                   "RETCALLLIST¤"));
}

TEST_F(SignOnTest, UnknownStationGetsError001AndStaysNew) {
  for (bool lineMode : {false, true}) {
    auto s = Connect();
    Send(s, "¤GETCALLLIST:OK\xC3\x84ND:0:GETCALLLIST¤", lineMode);
    const std::string msg = "ERROR: 001 OKÄND finns ej upplagd i Systemet!";
    EXPECT_EQ(Take(s), lineMode ? Line(msg) : Framed(msg));
    EXPECT_FALSE(s->Data);
    // The next request signs on afresh.
    Send(s, "¤GETCALLLIST:EXP:0:GETCALLLIST¤", lineMode);
    ASSERT_TRUE(s->Data);
    EXPECT_EQ(s->Data->StationLopnr, 4);
  }
}

TEST_F(SignOnTest, StationWithoutResourcesGetsEmptyListThenError003) {
  auto framed = SignOn("TOM", 0);
  EXPECT_EQ(Take(framed), Framed("¤TAVOCLIENTDATA:TOM:Tom:0:14:TAVOCLIENTDATA¤") +
                              Framed("¤RETCALLLIST~RETCALLLIST¤") +
                              "ERROR: 003 Klienten har inga resurser inlagda!\r\n");
  auto line = SignOn("TOM", 0, true);
  EXPECT_EQ(Take(line), Line("¤TAVOCLIENTDATA:TOM:Tom:0:::14:TAVOCLIENTDATA¤") +
                            Line("¤RETCALLLIST~RETCALLLIST¤") +
                            "ERROR: 003 Klienten har inga resurser inlagda!\r\n");
}

TEST_F(SignOnTest, InactiveResourcesAreLeftOutOfTheList) {
  auto rum5 = SignOn("RUM5", 0);
  EXPECT_EQ(Take(rum5),
            Framed("¤TAVOCLIENTDATA:RUM5:Rum 5:255:15:TAVOCLIENTDATA¤") +
                Framed("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~0~1899-12-30~~1899-12-30~0~"
                       "Sköterska~6~Sköterska Sms~128~0~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤"));
  ASSERT_EQ(rum5->Data->Callables.size(), 2u);
}

TEST_F(SignOnTest, KindMissingSignsOnAsDisplay) {
  auto s = Connect();
  Send(s, "¤GETCALLLIST:VISNING3:GETCALLLIST¤");
  ASSERT_TRUE(s->Data);
  EXPECT_EQ(s->Data->StationType, ctShow);
  EXPECT_EQ(Take(s), Framed("¤TAVOCLIENTDATA:VISNING3:Visning 3:0:13:TAVOCLIENTDATA¤") +
                         Framed("¤CURRENTLIST:Doktor B:5:0:1:¤%%¤:CURRENTLIST¤"));
}

TEST_F(SignOnTest, SignedOnConnectionKeepsItsStation) {
  auto s = SignOn("RUM3", 0);
  Take(s);
  Send(s, "¤GETCALLLIST:EXP:0:GETCALLLIST¤");
  EXPECT_EQ(s->Data->StationLopnr, 7);
  EXPECT_EQ(Take(s),
            Framed("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~0~1899-12-30~~1899-12-30~0~"
                   "Avbryt~9~Avbryt~0~-1~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤"));
}

TEST_F(SignOnTest, AdministrationConnectionAsksForOtherStations) {
  auto admin = SignOn("whatever", 2);
  EXPECT_EQ(Take(admin), "");
  ASSERT_TRUE(admin->Data);
  EXPECT_EQ(admin->Data->StationType, ctAdmin);
  EXPECT_EQ(admin->Data->StationName, "Admin");
  EXPECT_EQ(admin->Data->FriendlyName, "Admin");
  EXPECT_EQ(admin->Data->StationLopnr, -1);

  // A call station's list, served with a temporary record.
  Send(admin, "¤GETCALLLIST:EXP:0:GETCALLLIST¤");
  EXPECT_EQ(Take(admin),
            Framed("¤TAVOCLIENTDATA:EXP:Exp:16711680:4:TAVOCLIENTDATA¤") +
                Framed("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~0~1899-12-30~~1899-12-30~0~"
                       "Doktor B~5~Doktor Beta~0~0~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤"));
  // An unknown one, and a display, whose calls come from the administration record (empty).
  Send(admin, "¤GETCALLLIST:NOPE:0:GETCALLLIST¤");
  EXPECT_EQ(Take(admin), Framed("ERROR: 001 NOPE finns ej upplagd i Systemet!"));
  Send(admin, "¤GETCALLLIST:VISNING1:1:GETCALLLIST¤");
  EXPECT_EQ(Take(admin), Framed("¤TAVOCLIENTDATA:VISNING1:Visning 1:0:11:TAVOCLIENTDATA¤") +
                             Framed("¤CURRENTLIST:CURRENTLIST¤"));
  EXPECT_EQ(admin->Data->StationType, ctAdmin);
  EXPECT_TRUE(admin->Data->Callables.empty());
  EXPECT_EQ(env.log.ErrorCount(), 0);
}

TEST_F(SignOnTest, ServerVersionBlockOfAnAdministrationClientSignsOn) {
  // The service hands GETSERVERVERSION's block over when its client kind is 2.
  auto s = Connect();
  service.SendClientList(W("¤GETSERVERVERSION:TAVOAdmin:2:GETSERVERVERSION"), s, true, false);
  EXPECT_EQ(Take(s), "");
  ASSERT_TRUE(s->Data);
  EXPECT_EQ(s->Data->StationType, ctAdmin);
  EXPECT_TRUE(s->Data->isAndroid);
  // Administration clients list nothing, so no broadcast reaches them.
  auto rum3 = SignOn("RUM3", 0);
  Calling(rum3, 3);
  service.UpdateAllClients(3, false);
  EXPECT_EQ(Take(s), "");
}

TEST_F(SignOnTest, QuoteInStationNameIsJustAnUnknownName) {
  auto s = Connect();
  Send(s, "¤GETCALLLIST:O'Brien:0:GETCALLLIST¤");
  EXPECT_EQ(Take(s), Framed("ERROR: 001 O'Brien finns ej upplagd i Systemet!"));
  EXPECT_EQ(env.log.ErrorCount(), 0);
}

TEST_F(SignOnTest, FailureIsLoggedAndHalfRecordReleasedByNextRequest) {
  db.FailOn("FROM CALLLIST, CALLABLES");
  auto s = SignOn("RUM3", 0);
  // TAVOCLIENTDATA went out before the resource query failed; nothing after it.
  EXPECT_EQ(Take(s), Framed("¤TAVOCLIENTDATA:RUM3:Rum 3:65280:7:TAVOCLIENTDATA¤"));
  EXPECT_TRUE(Logged("Error in SendClientList: injected failure"));
  EXPECT_TRUE(Logged("Det gick inte att utföra SQL-frågan: SELECT CALLLIST.IXLOPNR"));
  EXPECT_EQ(env.log.ErrorCount(), 1);
  db.Heal();

  // The station's name cannot be read: the record stays half filled with number -1.
  db.FailOn("WHERE STATIONNAME");
  auto t = SignOn("EXP", 0);
  EXPECT_EQ(Take(t), "");
  ASSERT_TRUE(t->Data);
  EXPECT_EQ(t->Data->StationLopnr, -1);
  db.Heal();
  Send(t, "¤GETCALLLIST:EXP:0:GETCALLLIST¤");
  EXPECT_EQ(Take(t), "");
  EXPECT_FALSE(t->Data);
  Send(t, "¤GETCALLLIST:EXP:0:GETCALLLIST¤");
  EXPECT_EQ(t->Data->StationLopnr, 4);
}

TEST_F(SignOnTest, ReconnectIsSilentYetReachedByBroadcasts) {
  auto rum3 = Connect();
  Send(rum3, "¤RECONNECT:RUM3:0:RECONNECT¤");
  auto display = Connect();
  Send(display, "¤RECONNECT:VISNING1:1:RECONNECT¤", true);
  EXPECT_EQ(Take(rum3), "");
  EXPECT_EQ(Take(display), "");
  ASSERT_TRUE(rum3->Data);
  EXPECT_EQ(rum3->Data->StationLopnr, 7);
  EXPECT_EQ(display->Data->Callables.size(), 3u);

  Calling(rum3, 3);
  EXPECT_EQ(Take(display),
            Line("¤CURRENTLIST:Doktor A:3:255:1:¤%Rum 3~7~2026-12-09 10:15:02~65280~0~"
                 "1899-12-30~~%¤:Doktor B:5:0:2:¤%%¤:CURRENTLIST¤"));
  EXPECT_NE(Take(rum3).find(W("~Doktor A~3~Doktor Alfa~255~0~-1~2026-12-09 10:15:02~")),
            std::string::npos);
}

TEST_F(SignOnTest, UpdateListenerConnectionsGetOnlyTheirOwnReplies) {
  auto side = Connect(false);
  Send(side, "¤GETCALLLIST:VISNING1:1:GETCALLLIST¤");
  EXPECT_NE(Take(side).find("CURRENTLIST"), std::string::npos);
  auto rum3 = SignOn("RUM3", 0);
  Calling(rum3, 3);
  EXPECT_EQ(Take(side), "");
}

}  // namespace
}  // namespace tavo::test
