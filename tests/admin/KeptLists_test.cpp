// The server keeps what it read of a station's list while the database still holds it. A list
// replaced by an administration command reaches every connection of the station on the next
// broadcast that re-sends lists, also a connection the command itself did not send it to.
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

TAVO_INSTANTIATE_BACKENDS(KeptLists);

}  // namespace
}  // namespace tavo::test
