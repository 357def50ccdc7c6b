#include "sms/USMSThread.h"

#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "common/Win1252.h"
#include "platform/ComputerName.h"
#include "sms/SMSFiles.h"

namespace tavo {
namespace {

// Ten minutes, in days.
constexpr double kSMSTimeOffset = 1.0 / 144.0;

// A value is written as it stands, but a line break in it would end the line and could add
// keys of its own; it becomes a blank.
std::string IniValue(std::string value) {
  for (char& c : value)
    if (c == '\r' || c == '\n') c = ' ';
  return value;
}

void AddKey(std::string& out, const char* key, const std::string& value) {
  out += key;
  out += '=';
  out += IniValue(value);
  out += "\r\n";
}

}  // namespace

bool IsValidMobileNumber(const std::string& number) {
  for (char c : number)
    if (c != ' ' && c != '+' && c != ',' && (c < '0' || c > '9')) return false;
  return true;
}

std::string ComposeSMSMessageFile(const TSMSMessage& m) {
  const std::string when = DateTimeToStr(m.Time);
  const std::string customer = std::to_string(m.Account.CustomerNumber);
  std::string out;
  out += "[Message]\r\n";
  AddKey(out, "Type", "SMS");
  AddKey(out, "FromName", m.Account.UserName);
  AddKey(out, "Password", m.Account.Password);
  AddKey(out, "FromComputerName", m.ComputerName);
  AddKey(out, "Karvlen.exe-version", std::string("TAVO_WServer ") + TAVO_VERSION);
  AddKey(out, "SendSMSInRealTime", "YES");
  // One file carries one message, always the first.
  out += "[SMS1]\r\n";
  AddKey(out, "UNIKNR", std::to_string(m.Call.lopnr));
  AddKey(out, "SMSDATUM", when);
  AddKey(out, "DATUM", when);
  AddKey(out, "SMSNUMMER",
         IsValidMobileNumber(m.Call.CallableMobilnummer) ? m.Call.CallableMobilnummer : "");
  AddKey(out, "BTEXT", "");
  // Windows-1252: "Från ... kallar på ".
  AddKey(out, "LARGESMSTEXT",
         "Fr\xE5n signaleringssystemet: " + m.Call.CallerName + " kallar p\xE5 " + m.Call.CallName);
  AddKey(out, "SENDSMS", "T");
  AddKey(out, "KUNDLOPNR", customer);
  // The gateway expects the customer number here too, not the text.
  AddKey(out, "SMSTEXT", customer);
  return out;
}

namespace {

// Writes the message file and hands it to the upload; true when the gateway took it. A
// failure of the file is logged here and left to the caller as its error.
bool ComposeAndSend(const TSMSDispatchContext& context, TSMSDM& dm, const TSMSCall& call,
                    const TSMSAccountData& account, std::string& error,
                    std::vector<std::filesystem::path>& leftFiles) {
  std::filesystem::path file;
  bool handedOver = false;
  try {
    file = CreateUniqueSMSFile(context.ProgramDir, kSMSFilePrefix,
                               context.TickCount ? context.TickCount() : GetTickCount());
    TSMSMessage message{account, GetLocalComputerName(), call,
                        context.Clock->Now() - kSMSTimeOffset};
    const std::string content = ComposeSMSMessageFile(message);
    {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out.write(content.data(), static_cast<std::streamsize>(content.size()));
      out.close();
      if (!out)
        throw std::runtime_error("Write error on file \"" + Utf8ToAnsi(file.string()) + "\"");
    }
    handedOver = true;
    if (dm.SendSMSData(file)) return true;
    error = dm.LastFailure();
    if (!dm.LeftEncryptedFile().empty()) leftFiles = {file, dm.LeftEncryptedFile()};
  } catch (const std::exception& e) {
    context.Logging->Logg(std::string("Error in SendSMS.1: ") + e.what(), ltError);
    error = e.what();
    // A half-written file is of no use to anyone and holds the password.
    if (!file.empty() && !handedOver) ::unlink(file.c_str());
  }
  return false;
}

bool IsSet(const std::atomic<bool>* flag) { return flag && flag->load(); }

}  // namespace

TSmsAttemptResult SendSMSAttempt(const TSMSDispatchContext& context, const TSMSCall& call,
                                 const TSmsAttemptLimits& limits,
                                 const std::vector<std::filesystem::path>& leftFiles) noexcept {
  TLogging& log = *context.Logging;
  TMetrics* metrics = context.Metrics.get();
  TSmsAttemptResult result;
  for (const auto& f : leftFiles) ::unlink(f.c_str());
  if (IsSet(limits.Cancelled)) {
    result.Outcome = TSmsOutcome::Cancelled;
    return result;
  }
  if (metrics) metrics->SmsStarted.fetch_add(1);
  try {
    TSMSDM dm(*context.Registry, log, *context.Gateway, context.ProgramDir);
    dm.SetDeadline(limits.Deadline);
    dm.SetAbortFlag(limits.Abort);
    // One consistent copy: the main thread may replace the account meanwhile.
    const TSMSAccountData account = context.Account->Get();
    const char* missing = nullptr;
    if (account.UserName.empty())
      missing = "Inget Anv\xE4ndarnamn!  Anv\xE4ndarnamn m\xE5ste fyllas i!";
    else if (account.Password.empty())
      missing = "Inget L\xF6senord!  L\xF6senord m\xE5ste fyllas i!";
    else if (account.CustomerNumber < 1)
      missing = "Inget Kundnummer!  Kundnummer m\xE5ste fyllas i!";
    if (missing) {
      log.Logg(std::string("Error in SendSMS: ") + missing, ltInfo);
      result.Outcome = TSmsOutcome::Failed;
      result.Error = missing;
    } else {
      context.Gateway->SetGatewayConnected(false);
      if (!dm.ConnectToInternet()) {
        result.Error = dm.LastFailure();
      } else if (IsSet(limits.Cancelled)) {
        // Answered while the gateway was being checked: nothing is written or posted.
        result.Outcome = TSmsOutcome::Cancelled;
      } else if (ComposeAndSend(context, dm, call, account, result.Error, result.LeftFiles)) {
        result.Outcome = TSmsOutcome::Sent;
      }
    }
  } catch (const std::exception& e) {
    log.IncErrorCount();
    log.Logg(std::string("Error in SendSMS: ") + e.what(), ltError);
    result.Outcome = TSmsOutcome::Retry;
    result.Error = e.what();
  }
  if (result.Outcome == TSmsOutcome::Retry && result.Error.empty())
    result.Error = "the gateway did not take the message";
  if (metrics && result.Outcome != TSmsOutcome::Cancelled)
    (result.Outcome == TSmsOutcome::Sent ? metrics->SmsDelivered : metrics->SmsFailed).fetch_add(1);
  return result;
}

}  // namespace tavo
