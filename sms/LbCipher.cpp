#include "sms/LbCipher.h"

#include "sms/BlowfishPi.h"

namespace tavo {
namespace {

inline uint32_t F(const TBlowfishContext& c, uint32_t x) {
  return ((c.S[0][x >> 24] + c.S[1][(x >> 16) & 0xFF]) ^ c.S[2][(x >> 8) & 0xFF]) +
         c.S[3][x & 0xFF];
}

inline uint32_t LoadLE(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void StoreLE(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

}  // namespace

void BlowfishEncryptRounds(const TBlowfishContext& ctx, uint32_t& L, uint32_t& R) {
  const uint32_t L0 = L, R0 = R;
  L ^= ctx.P[0];
  for (int i = 1; i <= 15; i += 2) {
    R ^= ctx.P[i] ^ F(ctx, L0);
    L ^= ctx.P[i + 1] ^ F(ctx, R0);
  }
  R ^= ctx.P[17];
}

void BlowfishDecryptRounds(const TBlowfishContext& ctx, uint32_t& L, uint32_t& R) {
  const uint32_t L0 = L, R0 = R;
  R ^= ctx.P[17];
  for (int i = 16; i >= 2; i -= 2) {
    L ^= ctx.P[i] ^ F(ctx, R0);
    R ^= ctx.P[i - 1] ^ F(ctx, L0);
  }
  L ^= ctx.P[0];
}

void BlowfishEncryptBlock(const TBlowfishContext& ctx, TBlock8& b) {
  uint32_t L = LoadLE(b.data()), R = LoadLE(b.data() + 4);
  BlowfishEncryptRounds(ctx, L, R);
  StoreLE(b.data(), L);
  StoreLE(b.data() + 4, R);
}

void BlowfishDecryptBlock(const TBlowfishContext& ctx, TBlock8& b) {
  uint32_t L = LoadLE(b.data()), R = LoadLE(b.data() + 4);
  BlowfishDecryptRounds(ctx, L, R);
  StoreLE(b.data(), L);
  StoreLE(b.data() + 4, R);
}

void BlowfishInitContext(TBlowfishContext& ctx, const TKey128& key) {
  ctx.P = pi::kP;
  ctx.S = pi::kS;
  size_t k = 0;
  for (auto& p : ctx.P) {
    uint32_t w = 0;
    for (int b = 0; b < 4; ++b) {
      w = (w << 8) | key[k];
      k = (k + 1) % key.size();
    }
    p ^= w;
  }
  uint32_t L = 0, R = 0;
  for (size_t i = 0; i < ctx.P.size(); i += 2) {
    BlowfishEncryptRounds(ctx, L, R);
    ctx.P[i] = L;
    ctx.P[i + 1] = R;
  }
  for (auto& s : ctx.S) {
    for (size_t j = 0; j < s.size(); j += 2) {
      BlowfishEncryptRounds(ctx, L, R);
      s[j] = L;
      s[j + 1] = R;
    }
  }
}

TBlock8 BlowfishBlockMask(const TBlowfishContext& ctx) {
  uint32_t ml = 0, mr = 0;
  for (size_t i = 0; i < ctx.P.size(); i += 2) {
    ml ^= ctx.P[i];
    mr ^= ctx.P[i + 1];
  }
  TBlock8 m;
  StoreLE(m.data(), ml);
  StoreLE(m.data() + 4, mr);
  return m;
}

}  // namespace tavo
