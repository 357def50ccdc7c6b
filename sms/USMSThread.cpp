#include "sms/USMSThread.h"

#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <thread>

#include "common/Win1252.h"
#include "platform/ComputerName.h"
#include "sms/SMSFiles.h"
#include "sms/WorkerThread.h"

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

TSendSMSThread::TSendSMSThread(TSMSDispatchContext context, const TCaller& ct,
                               const TCallObject& coco, int32_t lopnr)
    : context_(std::move(context)),
      call_{ct.CallerName, coco.CallName, coco.CallableMobilnummer, lopnr} {}

void TSendSMSThread::Start(std::unique_ptr<TSendSMSThread> thread) {
  std::function<void()> onTerminate = std::move(thread->context_.OnTerminate);
  std::shared_ptr<TSendSMSThread> self(std::move(thread));
  StartWorkerThread([self] { self->Execute(); }, std::move(onTerminate));
}

void TSendSMSThread::Execute() noexcept {
  TLogging& log = *context_.Logging;
  TMetrics* metrics = context_.Metrics.get();
  if (metrics) metrics->SmsStarted.fetch_add(1);
  bool delivered = false;
  try {
    SMSDM =
        std::make_unique<TSMSDM>(*context_.Registry, log, *context_.Gateway, context_.ProgramDir);
    // One consistent copy: the main thread may replace the account meanwhile.
    const TSMSAccountData account = context_.Account->Get();
    if (account.UserName.empty()) {
      log.Logg("Error in SendSMS: Inget Anv\xE4ndarnamn!  Anv\xE4ndarnamn m\xE5ste fyllas i!",
               ltInfo);
    } else if (account.Password.empty()) {
      log.Logg("Error in SendSMS: Inget L\xF6senord!  L\xF6senord m\xE5ste fyllas i!", ltInfo);
    } else if (account.CustomerNumber < 1) {
      log.Logg("Error in SendSMS: Inget Kundnummer!  Kundnummer m\xE5ste fyllas i!", ltInfo);
    } else {
      context_.Gateway->SetGatewayConnected(false);
      if (SMSDM->ConnectToInternet()) delivered = ComposeAndSend(account);
    }
    SMSDM.reset();
  } catch (const std::exception& e) {
    SMSDM.reset();
    log.IncErrorCount();
    log.Logg(std::string("Error in SendSMS: ") + e.what(), ltError);
  } catch (...) {
    SMSDM.reset();
    log.IncErrorCount();
    log.Logg("Error in SendSMS: unknown failure", ltError);
  }
  if (metrics) (delivered ? metrics->SmsDelivered : metrics->SmsFailed).fetch_add(1);
}

bool TSendSMSThread::ComposeAndSend(const TSMSAccountData& account) {
  std::filesystem::path file;
  bool handedOver = false;
  try {
    file = CreateUniqueSMSFile(context_.ProgramDir, kSMSFilePrefix,
                               context_.TickCount ? context_.TickCount() : GetTickCount());
    TSMSMessage message{account, GetLocalComputerName(), call_,
                        context_.Clock->Now() - kSMSTimeOffset};
    const std::string content = ComposeSMSMessageFile(message);
    {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out.write(content.data(), static_cast<std::streamsize>(content.size()));
      out.close();
      if (!out)
        throw std::runtime_error("Write error on file \"" + Utf8ToAnsi(file.string()) + "\"");
    }
    handedOver = true;
    return SMSDM->SendSMSData(file);
  } catch (const std::exception& e) {
    context_.Logging->Logg(std::string("Error in SendSMS.1: ") + e.what(), ltError);
    // A half-written file is of no use to anyone and holds the password.
    if (!file.empty() && !handedOver) ::unlink(file.c_str());
  }
  return false;
}

void SendSMS(const TSMSDispatchContext& context, const TCaller& caller, const TCallObject& resource,
             int32_t lopnr) noexcept {
  try {
    TSendSMSThread::Start(std::make_unique<TSendSMSThread>(context, caller, resource, lopnr));
  } catch (const std::exception& e) {
    context.Logging->IncErrorCount();
    context.Logging->Logg(std::string("Error in SendSMS: ") + e.what(), ltError);
  }
}

}  // namespace tavo
