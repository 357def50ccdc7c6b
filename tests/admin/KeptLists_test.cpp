// The server keeps what it read of a station's list and of the cancel resource while the
// database still holds them. A change made by an administration command or by a client's
// statement shows on the next broadcast that reads it, as it did when every list was read
// from the database.
#include <gtest/gtest.h>

#include "Clinic.h"

namespace tavo::test {
namespace {

using KeptLists = AdminTest;

TEST_P(KeptLists, ListReplacedByAdministrationShowsOnTheNextBroadcast) {
  StartClinic();
  auto first = s.SignOn("Visning1", 1, false, "CURRENTLIST¤#DATAEND#\r\n");
  auto second = s.SignOn("Visning1", 1, false, "CURRENTLIST¤#DATAEND#\r\n");
  auto rum1 = s.SignOn("Rum1", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto exp = s.SignOn("Exp", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto admin = s.Admin();

  // Doktor B first, Doktor A second: the command sends it to the station's first connection.
  EXPECT_EQ(Change(*admin, "¤POSTCALLABLESLIST:x:y:3:5:1:3:2:POSTCALLABLESLIST¤"), "");
  EXPECT_EQ(Pending(*first),
            Framed("¤CURRENTLIST:Doktor A:3:255:2:¤%%¤:Doktor B:5:0:1:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(Pending(*second), "");

  // A call and its answer: the answer re-sends the lists of every connection listing Doktor A.
  rum1->Send(Req("¤CALLING:3:CALLING¤"));
  Until(*rum1, "RETCALLLIST¤#DATAEND#\r\n");
  Pending(*second);
  exp->Send(Req("¤COMING:3:1:COMING¤"));
  Until(*exp, "RETCALLLIST¤#DATAEND#\r\n");
  const std::string shown = Pending(*second);
  EXPECT_NE(shown.find(W("¤CURRENTLIST:Doktor A:3:255:2:¤%Rum 1~1~")), std::string::npos) << shown;
  EXPECT_NE(shown.find(W("~Exp~%¤:Doktor B:5:0:1:¤%%¤:CURRENTLIST¤")), std::string::npos) << shown;
}

// EXECSQL re-sends every display its list as its connection knows it; the cancel resource is
// read for that, the display's list only when a broadcast re-sends lists.
TEST_P(KeptLists, ClientStatementShowsOnTheNextBroadcast) {
  StartClinic();
  auto vis = s.SignOn("Visning1", 1, false, "CURRENTLIST¤#DATAEND#\r\n");
  auto rum1 = s.SignOn("Rum1", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto exp = s.SignOn("Exp", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto admin = s.Admin();

  EXPECT_EQ(Change(*admin, "¤EXECSQL$x$UPDATE CALLLIST SET IXLOPNR = 7 WHERE STATIONSLOPNR = 3 "
                           "AND CALLABLESLOPNR = 3$EXECSQL¤"),
            "");
  EXPECT_EQ(Pending(*vis),
            Framed("¤CURRENTLIST:Doktor A:3:255:1:¤%%¤:Doktor B:5:0:2:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(Change(*admin, "¤EXECSQL$x$UPDATE SETTINGS SET INTEGERVALUE = 5 WHERE NYCKELNAMN = "
                           "#AVBRYTCALLNAME#$EXECSQL¤"),
            "");
  EXPECT_EQ(Pending(*vis), Framed("¤CURRENTLIST:Doktor A:3:255:1:¤%%¤:CURRENTLIST¤"));

  rum1->Send(Req("¤CALLING:3:CALLING¤"));
  Until(*rum1, "RETCALLLIST¤#DATAEND#\r\n");
  Pending(*vis);
  exp->Send(Req("¤COMING:3:1:COMING¤"));
  Until(*exp, "RETCALLLIST¤#DATAEND#\r\n");
  const std::string shown = Pending(*vis);
  EXPECT_NE(shown.find(W("¤CURRENTLIST:Doktor A:3:255:7:¤%Rum 1~1~")), std::string::npos) << shown;
  EXPECT_EQ(shown.find(W("Doktor B")), std::string::npos) << shown;
}

TAVO_INSTANTIATE_BACKENDS(KeptLists);

}  // namespace
}  // namespace tavo::test
