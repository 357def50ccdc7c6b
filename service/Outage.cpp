// The service module through a database outage: the journal the call log keeps writes in, the
// reconnection's return to the main loop with the journal written first, and the restarts that
// wait for the database.
#include "common/Win1252.h"
#include "service/UTavoServerMain.h"

namespace tavo {

std::filesystem::path TTAVO_WindowsServer::JournalPath() const {
  std::string file = core_->Registry.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "JournalFile");
  if (file.empty()) file = "TAVO.journal";
  if (file.front() != '/') file = programDirectory_ + file;
  return std::filesystem::path(AnsiToUtf8(file));
}

void TTAVO_WindowsServer::StartJournal() {
  journal_ = std::make_unique<TOutageJournal>(JournalPath(), logging_);
  journal_->Load();
  calls_->CallLog().SetJournal(journal_.get());
  // The fresh connection reaches the main loop through a post; nothing runs once the module
  // is gone.
  reconnecting_->SetWake([loop = loop_, this] {
    loop->Post([this] {
      if (reconnecting_) reconnecting_->Resume();
    });
  });
  reconnecting_->SetOnBack([this] { return DatabaseBack(); });
}

bool TTAVO_WindowsServer::WriteJournalAtStart() {
  if (journal_->Empty()) return true;
  const size_t kept = journal_->Size();
  try {
    const size_t written = calls_->CallLog().WriteJournal();
    logging_.Logg("The journal " + Utf8ToAnsi(journal_->File().string()) + " held " +
                      std::to_string(kept) + " writes of an earlier run; " +
                      std::to_string(written) + " were written to the database",
                  ltInfo);
    return true;
  } catch (const std::exception& e) {
    logging_.EventLog().LogError(
        "The journal " + Utf8ToAnsi(journal_->File().string()) + " could not be written to the "
        "database (" + e.what() + "); it is kept, and the server ends so that it starts again "
        "once the database can take it",
        1);
    return false;
  }
}

// Runs with the fresh connection in place, before the database counts as up: the journal
// first, then whatever was kept from the old connection is read afresh.
std::string TTAVO_WindowsServer::DatabaseBack() {
  const size_t written = calls_ ? calls_->CallLog().WriteJournal() : 0;
  if (calls_) calls_->DatabaseChanged();
  if (role_ && !servingApplied_ && written > 0) NoteJournalWritten();
  asio::post(io_, [this] {
    CheckDatabase();
    PublishStatus();
    if (postponedRestart_ && RestartBlocker().empty()) {
      const TPostponedRestart restart = *postponedRestart_;
      try {
        RestartService(restart.Headline, restart.ErrorEntry);
      } catch (const std::exception& e) {
        logging_.LogFailure("RestartServer", e);
      }
    }
  });
  return written == 0 ? std::string()
                      : std::to_string(written) + " writes kept in the journal were written to it";
}

std::string TTAVO_WindowsServer::RestartBlocker() const {
  if (reconnecting_ && !reconnecting_->Up()) return "the database is down";
  if (calls_ && calls_->CallLog().HoldsKept()) return "the journal holds writes for the database";
  return {};
}

}  // namespace tavo
