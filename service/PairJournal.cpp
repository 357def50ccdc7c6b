// Calls a server of a standby pair kept in its journal while it was cut off, and wrote once it
// stood by again: the serving server reads its call list afresh, so that they reach its
// stations and displays. The server that wrote them says so in a setting of its own; the
// serving one looks at it every second.
#include "database/Database.h"
#include "database/SqlHelpers.h"
#include "service/UTavoServerMain.h"

namespace tavo {
namespace {

constexpr char kJournalWrittenSetting[] = "STANDBYJOURNALWRITTEN";

}  // namespace

void TTAVO_WindowsServer::NoteJournalWritten() {
  // Unique across both servers and restarts (the role's instance is random per process): any
  // change is news to the serving one.
  const std::string mark = role_->Instance() + "." + std::to_string(++journalNotes_);
  try {
    SetStrSetting(*connector_->ADOConnection1, logging_, kJournalWrittenSetting, mark);
  } catch (const std::exception& e) {
    logging_.Logg(std::string("The serving server could not be told of the calls written from "
                              "the journal: ") + e.what(),
                  ltWarning);
  }
}

void TTAVO_WindowsServer::CheckPeerJournal(bool reload) {
  if (!role_ || !calls_ || !connector_) return;
  if (reload && (!servingApplied_ || !databaseOk_)) return;
  std::string mark;
  try {
    mark = connector_->ADOConnection1
               ->Open("SELECT STRINGVALUE FROM SETTINGS WHERE NYCKELNAMN = ?",
                      {SqlText(kJournalWrittenSetting)})
               ->AsString("STRINGVALUE");
  } catch (const std::exception&) {
    // The database check names the problem; without a mark the next look only takes note.
    if (!reload) peerJournalMark_.reset();
    return;
  }
  if (!reload || !peerJournalMark_) {
    peerJournalMark_ = mark;
    return;
  }
  // What this server kept itself is only in memory until written: a reload would drop it, so
  // it waits for the next look.
  if (*peerJournalMark_ == mark || calls_->CallLog().HoldsKept()) return;
  peerJournalMark_ = mark;
  calls_->FillCallList();
  calls_->ResendAllLists(false);
  logging_.Logg("The other server wrote calls it had kept while it was cut off from the database; "
                "the call list was read again and sent to every station",
                ltInfo);
}

}  // namespace tavo
