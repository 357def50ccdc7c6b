// The cipher's formats: block transform, key schedule, stream/file/string forms and their
// failures, against properties and against the answers of the independent script
// cipher_kat.py.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <streambuf>
#include <system_error>

#include "support/TestSupport.h"
#include "sms/LbBase64.h"
#include "sms/LbClass.h"
#include "sms/ServerKey.h"

namespace tavo {
namespace {

std::string Hex(std::string_view b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (unsigned char c : b) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

std::string Unhex(const std::string& h) {
  std::string b;
  for (size_t i = 0; i + 1 < h.size(); i += 2) b += char(std::stoi(h.substr(i, 2), nullptr, 16));
  return b;
}

TKey128 KeyFromHex(const std::string& h) {
  TKey128 k{};
  const std::string b = Unhex(h);
  std::copy(b.begin(), b.end(), k.begin());
  return k;
}

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

TKey128 RandomKey(std::mt19937& rng) {
  TKey128 k;
  for (auto& b : k) b = static_cast<uint8_t>(rng());
  return k;
}

template <class F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const ECipherException& e) {
    return e.what();
  }
  return "<no ECipherException>";
}

// ---- block transform and key schedule ----

TEST(BlowfishBlock, MaskEqualsRoundsAndTransformIsItsOwnInverse) {
  std::mt19937 rng(7);
  for (int k = 0; k < 20; ++k) {
    TBlowfishContext ctx;
    BlowfishInitContext(ctx, RandomKey(rng));
    const TBlock8 mask = BlowfishBlockMask(ctx);
    for (int i = 0; i < 50; ++i) {
      TBlock8 plain;
      for (auto& b : plain) b = static_cast<uint8_t>(rng());
      TBlock8 enc = plain, dec = plain, masked = plain;
      BlowfishEncryptBlock(ctx, enc);
      BlowfishDecryptBlock(ctx, dec);
      for (int j = 0; j < 8; ++j) masked[j] ^= mask[j];
      EXPECT_EQ(enc, masked);
      EXPECT_EQ(dec, masked);
      TBlock8 twice = enc;
      BlowfishEncryptBlock(ctx, twice);
      EXPECT_EQ(twice, plain);
    }
  }
}

// Answers computed by cipher_kat.py, which shares no code with the component.
struct TKat {
  std::string serverKey;
  struct Schedule {
    std::string key;
    std::vector<uint32_t> words;  // P[0..17], then S[i][0], S[i][255] for each box
  };
  struct Enc {
    std::string key, plain, cipher, base64;
  };
  std::vector<Schedule> schedules;
  std::vector<Enc> encs;
};

TKat LoadKat() {
  TKat kat;
  std::ifstream in(std::string(TAVO_SOURCE_DIR) + "/tests/cipher/kat_expected.txt");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string tag;
    ls >> tag;
    if (tag == "serverkey") {
      ls >> kat.serverKey;
    } else if (tag == "schedule") {
      TKat::Schedule s;
      ls >> s.key;
      std::string w;
      while (ls >> w) s.words.push_back(static_cast<uint32_t>(std::stoul(w, nullptr, 16)));
      kat.schedules.push_back(s);
    } else if (tag == "encrypt") {
      TKat::Enc e;
      ls >> e.key >> e.plain >> e.cipher >> e.base64;
      e.plain = e.plain == "-" ? "" : Unhex(e.plain);
      e.cipher = Unhex(e.cipher);
      kat.encs.push_back(e);
    }
  }
  return kat;
}

TEST(BlowfishKnownAnswers, KeyScheduleServerKeyAndEncryptionMatchIndependentScript) {
  const TKat kat = LoadKat();
  ASSERT_EQ(kat.schedules.size(), 4u);
  ASSERT_GE(kat.encs.size(), 30u);

  // The server key never changes: stored passwords and the gateway depend on it.
  const TKey128 serverKey = MakeServerKey();
  EXPECT_EQ(Hex(std::string_view(reinterpret_cast<const char*>(serverKey.data()), 16)),
            kat.serverKey);

  for (const auto& s : kat.schedules) {
    SCOPED_TRACE(s.key);
    ASSERT_EQ(s.words.size(), 26u);
    TBlowfishContext ctx;
    BlowfishInitContext(ctx, KeyFromHex(s.key));
    for (int i = 0; i < 18; ++i) EXPECT_EQ(ctx.P[i], s.words[i]) << "P[" << i << "]";
    for (int b = 0; b < 4; ++b) {
      EXPECT_EQ(ctx.S[b][0], s.words[18 + 2 * b]) << "S" << b << "[0]";
      EXPECT_EQ(ctx.S[b][255], s.words[19 + 2 * b]) << "S" << b << "[255]";
    }
  }

  TLbBlowfish cipher;  // one instance for all keys: the key in force is the last one set
  for (const auto& e : kat.encs) {
    SCOPED_TRACE(e.key + " " + Hex(e.plain));
    cipher.SetKey(KeyFromHex(e.key));
    EXPECT_EQ(Hex(cipher.EncryptBytes(e.plain)), Hex(e.cipher));
    EXPECT_EQ(cipher.EncryptString(e.plain), e.base64);
    EXPECT_EQ(cipher.DecryptString(e.base64), e.plain);
  }
}

// ---- stream format ----

TEST(BlowfishStream, FormatPropertiesOverLengths) {
  std::mt19937 rng(11);
  TLbBlowfish cipher;
  cipher.SetKey(RandomKey(rng));
  TBlowfishContext ctx;
  BlowfishInitContext(ctx, cipher.GetKey());

  std::vector<size_t> sizes;
  for (size_t n = 0; n <= 17; ++n) sizes.push_back(n);
  for (size_t n : {1000, 65536 - 1, 65536, 65536 + 9, 300007}) sizes.push_back(n);

  for (size_t n : sizes) {
    SCOPED_TRACE("n=" + std::to_string(n));
    const std::string plain = RandomBytes(rng, n);
    const std::string enc = cipher.EncryptBytes(plain);

    ASSERT_EQ(enc.size(), 8 * (n / 8 + 1));
    EXPECT_EQ(TLbBlowfish::OutBufSizeNeeded(n), enc.size());
    // Whole blocks are the block transform of the input; the final block carries the rest
    // and its count in byte 7.
    for (size_t b = 0; b < n / 8; ++b) {
      TBlock8 blk;
      std::copy_n(plain.data() + 8 * b, 8, blk.begin());
      BlowfishEncryptBlock(ctx, blk);
      ASSERT_EQ(std::string(blk.begin(), blk.end()), enc.substr(8 * b, 8)) << "block " << b;
    }
    TBlock8 last;
    std::copy_n(enc.data() + enc.size() - 8, 8, last.begin());
    BlowfishDecryptBlock(ctx, last);
    const size_t r = n % 8;
    EXPECT_EQ(last[7], r);
    EXPECT_EQ(std::string(last.begin(), last.begin() + r), plain.substr(n - r));
    for (size_t i = r; i < 7; ++i) EXPECT_EQ(last[i], 0) << "padding byte " << i;

    EXPECT_EQ(cipher.DecryptBytes(enc), plain);

    // The stream forms give the same bytes and append to what the output holds.
    std::istringstream in(plain);
    std::ostringstream out;
    out << "head";
    cipher.EncryptStream(in, out);
    EXPECT_EQ(out.str(), "head" + enc);
    std::istringstream encIn(enc);
    std::ostringstream decOut;
    cipher.DecryptStream(encIn, decOut);
    EXPECT_EQ(decOut.str(), plain);

    const std::string text = cipher.EncryptString(plain);
    EXPECT_EQ(text.size(), 4 * ((8 * (n / 8 + 1) + 2) / 3));
    EXPECT_EQ(cipher.DecryptString(text), plain);
  }
}

TEST(BlowfishStream, EmptyInputIsOneBlockOfTheZeroBlockTransform) {
  TLbBlowfish cipher;
  cipher.SetKey(MakeServerKey());
  TBlowfishContext ctx;
  BlowfishInitContext(ctx, MakeServerKey());
  TBlock8 zero{};
  BlowfishEncryptBlock(ctx, zero);
  EXPECT_EQ(cipher.EncryptBytes(""), std::string(zero.begin(), zero.end()));
  EXPECT_EQ(cipher.DecryptBytes(std::string(zero.begin(), zero.end())), "");
}

TEST(BlowfishStream, ReadsFromTheCurrentPositionAndIgnoresATrailingPartialBlock) {
  TLbBlowfish cipher;
  cipher.SetKey(MakeServerKey());
  std::istringstream in("skipTHE MESSAGE");
  in.seekg(4);
  std::ostringstream out;
  cipher.EncryptStream(in, out);
  EXPECT_EQ(out.str(), cipher.EncryptBytes("THE MESSAGE"));

  const std::string enc = cipher.EncryptBytes("0123456789");
  EXPECT_EQ(cipher.DecryptBytes(enc + "xyz"), "0123456789");
}

// A stream that cannot seek: the input is taken whole first.
class TPipeBuf : public std::streambuf {
 public:
  explicit TPipeBuf(std::string data) : data_(std::move(data)) {
    setg(data_.data(), data_.data(), data_.data() + data_.size());
  }

 protected:
  pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override {
    return pos_type(off_type(-1));
  }

 private:
  std::string data_;
};

// A stream that claims more bytes than it delivers, like a file cut short while being read.
class TShrinkingBuf : public std::streambuf {
 public:
  TShrinkingBuf(std::string data, off_type claimed) : data_(std::move(data)), claimed_(claimed) {
    setg(data_.data(), data_.data(), data_.data() + data_.size());
  }

 protected:
  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
    if (dir == std::ios_base::end) return atEnd_ = true, pos_type(claimed_ + off);
    if (atEnd_) return pos_type(claimed_ + off);
    return pos_type(gptr() - eback() + off);
  }
  pos_type seekpos(pos_type pos, std::ios_base::openmode) override {
    if (pos > off_type(data_.size())) return pos_type(off_type(-1));
    atEnd_ = false;
    setg(eback(), eback() + off_type(pos), egptr());
    return pos;
  }

 private:
  std::string data_;
  bool atEnd_ = false;
  off_type claimed_;
};

TEST(BlowfishStream, UnseekableAndShrinkingInputs) {
  TLbBlowfish cipher;
  cipher.SetKey(MakeServerKey());
  const std::string plain = "a message longer than one block";
  TPipeBuf pipe(plain);
  std::istream pin(&pipe);
  std::ostringstream out;
  cipher.EncryptStream(pin, out);
  EXPECT_EQ(out.str(), cipher.EncryptBytes(plain));

  for (std::streamoff claimed : {std::streamoff(plain.size() + 1), std::streamoff(plain.size() + 16)}) {
    TShrinkingBuf buf(plain, claimed);
    std::istream in(&buf);
    std::ostringstream o;
    EXPECT_EQ(ErrorOf([&] { cipher.EncryptStream(in, o); }), "Invalid file format");
  }
}

TEST(BlowfishStream, DecryptRejectsShortAndCorruptInput) {
  TLbBlowfish cipher;
  cipher.SetKey(MakeServerKey());
  for (size_t n = 0; n < 8; ++n)
    EXPECT_EQ(ErrorOf([&] { cipher.DecryptBytes(std::string(n, 'x')); }), "Invalid file format")
        << n;

  // A final block whose count byte decrypts to 8..255 (wrong key or damaged data) must not
  // produce bytes that were never there.
  TBlowfishContext ctx;
  BlowfishInitContext(ctx, MakeServerKey());
  for (int count : {8, 9, 200, 255}) {
    TBlock8 blk{};
    blk[7] = static_cast<uint8_t>(count);
    BlowfishEncryptBlock(ctx, blk);
    const std::string enc = cipher.EncryptBytes("12345678") + std::string(blk.begin(), blk.end());
    EXPECT_EQ(ErrorOf([&] { cipher.DecryptBytes(enc); }), "Invalid file format") << count;
  }
  TLbBlowfish other;
  other.SetKey(KeyFromHex("000102030405060708090a0b0c0d0e0f"));
  EXPECT_NE(other.EncryptBytes("pw"), cipher.EncryptBytes("pw"));
}

// ---- Base64 ----

TEST(BlowfishBase64, RejectsWhatTheEncoderNeverWrites) {
  TLbBlowfish cipher;
  cipher.SetKey(MakeServerKey());
  const std::string good = cipher.EncryptString("lösen");  // 8 bytes -> 12 characters
  ASSERT_EQ(good.size(), 12u);
  const std::string cases[] = {
      good.substr(0, 6) + "\r\n" + good.substr(6),   // line break
      good.substr(0, 8) + "\n",                       // line break at the end
      " " + good.substr(1),                           // below "+"
      good.substr(0, 11) + "{",                       // above "z"
      good.substr(0, 4) + "\x80\x80\x80\x80",         // 8-bit characters
      good.substr(0, 4) + "ab-_",                     // inside the range, not in the alphabet
      good.substr(0, 4) + "ab.@",
      good.substr(0, 11),                             // length not a multiple of four
      good.substr(0, 4) + "a===",                     // padding too long
      good.substr(0, 4) + "ab=c",                     // padding in the middle of a group
      "ab==" + good,                                  // padding before the last group
      std::string("ab\0=", 4),
  };
  for (const auto& text : cases)
    EXPECT_EQ(ErrorOf([&] { cipher.DecryptString(text); }), "Invalid Base64 Character")
        << Hex(text);
  // Decodable Base64 of a too-short input reaches the stream format's check.
  EXPECT_EQ(ErrorOf([&] { cipher.DecryptString(""); }), "Invalid file format");
  EXPECT_EQ(ErrorOf([&] { cipher.DecryptString("QUJD"); }), "Invalid file format");
}

TEST(BlowfishBase64, EncodeDecodeAllPaddings) {
  std::mt19937 rng(3);
  for (size_t n = 0; n < 50; ++n) {
    const std::string b = RandomBytes(rng, n);
    const std::string t = Base64Encode(b);
    EXPECT_EQ(t.size(), 4 * ((n + 2) / 3));
    EXPECT_EQ(Base64Decode(t), b);
  }
  EXPECT_EQ(Base64Encode("\xfb\xff"), "+/8=");
}

// ---- file form ----

TEST(BlowfishFile, EncryptFileWritesTheStreamFormAndReportsFileErrors) {
  test::TTempDir dir;
  TLbBlowfish cipher;
  cipher.SetKey(MakeServerKey());
  const std::string plain = "[SMS]\r\nText=Rum 3 kallar p\xe5 hj\xe4lp\r\n";
  test::WriteFile(dir / "msg.ini", plain);
  test::WriteFile(dir / "msg.enc", std::string(1000, 'z'));  // an older, longer file
  cipher.EncryptFile((dir / "msg.ini").string(), (dir / "msg.enc").string());
  EXPECT_EQ(test::ReadFile(dir / "msg.enc"), cipher.EncryptBytes(plain));
  cipher.DecryptFile(dir / "msg.enc", dir / "msg.out");
  EXPECT_EQ(test::ReadFile(dir / "msg.out"), plain);

  auto errnoOf = [&](const std::filesystem::path& in, const std::filesystem::path& out) {
    try {
      cipher.EncryptFile(in, out);
    } catch (const std::system_error& e) {
      return e.code().value();
    }
    return 0;
  };
  EXPECT_EQ(errnoOf(dir / "missing.ini", dir / "x.enc"), ENOENT);
  EXPECT_EQ(errnoOf(dir / "msg.ini", dir / "no-such-dir" / "x.enc"), ENOENT);
  EXPECT_FALSE(std::filesystem::exists(dir / "x.enc"));
  // Encrypting a file onto itself would truncate it before it is read.
  EXPECT_NE(errnoOf(dir / "msg.ini", dir / "." / "msg.ini"), 0);
  EXPECT_EQ(test::ReadFile(dir / "msg.ini"), plain);
}

}  // namespace
}  // namespace tavo
