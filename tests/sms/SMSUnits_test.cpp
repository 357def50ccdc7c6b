// The pieces of the SMS dispatch that need no gateway: the mobile-number rule, the computer
// name, the message file text and the file names of dispatches that start together.
#include <gtest/gtest.h>

#include <set>

#include "SMSTestSupport.h"
#include "platform/ComputerName.h"
#include "sms/SMSFiles.h"
#include "sms/USMSThread.h"

namespace tavo::test {
namespace {

TEST(SMSUnits, IsValidMobileNumber) {
  struct Case {
    const char* number;
    bool valid;
  } cases[] = {
      {"", true},
      {"   ", true},
      {"+46 70 123 45 67", true},
      {"0701234567", true},
      {"070,1234567", true},
      {"070-123 45 67", false},
      {"070 123 45 6x", false},
      {"(070) 1234567", false},
      {"070\t1234567", false},
      {"+46\xA0"
       "70",
       false},  // a no-break space is not a blank
  };
  for (const auto& c : cases) EXPECT_EQ(IsValidMobileNumber(c.number), c.valid) << c.number;
}

TEST(SMSUnits, NetBIOSNameOfHostName) {
  EXPECT_EQ(NetBIOSNameOf("klinik-srv01.example.org"), "KLINIK-SRV01");
  EXPECT_EQ(NetBIOSNameOf("averyveryverylonghostname"), "AVERYVERYVERYLO");
  EXPECT_EQ(NetBIOSNameOf("short"), "SHORT");
  EXPECT_EQ(NetBIOSNameOf(""), "");
  const std::string local = GetLocalComputerName();
  EXPECT_FALSE(local.empty());
  EXPECT_LE(local.size(), 15u);
  EXPECT_EQ(local.find('.'), std::string::npos);
}

TEST(SMSUnits, FilesOfTheSameTickGetDistinctNames) {
  TTempDir dir;
  std::set<fs::path> names;
  for (int i = 0; i < 5; ++i) names.insert(CreateUniqueSMSFile(dir.Path(), kSMSFilePrefix, 1234));
  EXPECT_EQ(names.size(), 5u);
  EXPECT_TRUE(names.count(dir / "TAVO_SMS_1234.zi~"));
  EXPECT_TRUE(names.count(dir / "TAVO_SMS_1238.zi~"));
  // A file left behind is neither reused nor destroyed.
  WriteFile(dir / "TAVO_SMS_Encrypted_77.zi~", "left behind");
  EXPECT_EQ(CreateUniqueSMSFile(dir.Path(), kSMSEncryptedFilePrefix, 77),
            dir / "TAVO_SMS_Encrypted_78.zi~");
  EXPECT_EQ(ReadFile(dir / "TAVO_SMS_Encrypted_77.zi~"), "left behind");
  // The tick count is unsigned 32-bit and wraps.
  CreateUniqueSMSFile(dir.Path(), kSMSFilePrefix, 4294967295u);
  EXPECT_EQ(CreateUniqueSMSFile(dir.Path(), kSMSFilePrefix, 4294967295u), dir / "TAVO_SMS_0.zi~");
  EXPECT_THROW(CreateUniqueSMSFile(dir / "missing", kSMSFilePrefix, 1), std::runtime_error);
}

TSMSMessage SampleMessage() {
  TSMSMessage m;
  m.Account = {"Mottagning", "hemligt", 42};
  m.ComputerName = "KLINIK";
  m.Call = {"Rum 1", "Doktor", "", 7};
  m.Time = EncodeDateTime(2026, 12, 9, 14, 5, 33);
  return m;
}

std::string KeyValue(const std::string& file, const std::string& key) {
  size_t p = file.find("\r\n" + key + "=");
  if (p == std::string::npos) return "<missing>";
  p += key.size() + 3;
  return file.substr(p, file.find("\r\n", p) - p);
}

TEST(SMSUnits, MobileNumberGoesIntoTheFileOnlyWhenValid) {
  for (auto [stored, written] :
       {std::pair{"070-123 45 67", ""}, std::pair{"+46 70 123 45 67", "+46 70 123 45 67"},
        std::pair{" 0701234567 ", " 0701234567 "}, std::pair{"", ""}}) {
    TSMSMessage m = SampleMessage();
    m.Call.CallableMobilnummer = stored;
    EXPECT_EQ(KeyValue(ComposeSMSMessageFile(m), "SMSNUMMER"), written) << stored;
  }
}

TEST(SMSUnits, DateTextOfTheMessage) {
  TSMSMessage m = SampleMessage();
  EXPECT_EQ(KeyValue(ComposeSMSMessageFile(m), "SMSDATUM"), "2026-12-09 14:05:33");
  m.Time = EncodeDate(2026, 12, 10);  // exactly midnight: the date alone
  EXPECT_EQ(KeyValue(ComposeSMSMessageFile(m), "SMSDATUM"), "2026-12-10");
  EXPECT_EQ(KeyValue(ComposeSMSMessageFile(m), "DATUM"), "2026-12-10");
}

TEST(SMSUnits, LineBreaksInValuesCannotAddKeys) {
  TSMSMessage m = SampleMessage();
  m.Call.CallerName = "Rum 1\r\nSMSNUMMER=0700000000";
  const std::string file = ComposeSMSMessageFile(m);
  EXPECT_EQ(KeyValue(file, "SMSNUMMER"), "");
  EXPECT_EQ(KeyValue(file, "LARGESMSTEXT"),
            "Fr\xE5n signaleringssystemet: Rum 1  SMSNUMMER=0700000000 kallar p\xE5 Doktor");
}

}  // namespace
}  // namespace tavo::test
