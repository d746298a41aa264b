#include "replace/digest.h"

#include <array>
#include <cstdint>
#include <fstream>
#include <stdexcept>

#include "text/text_encoding.h"

namespace replace {

namespace {

constexpr std::array<std::uint32_t, 64> kRounds = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotate(std::uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

class Sha256 {
 public:
  void add(std::string_view bytes) {
    for (char c : bytes) {
      block_[filled_++] = static_cast<unsigned char>(c);
      if (filled_ == 64) compress();
    }
    length_ += bytes.size();
  }

  std::string hex() {
    const std::uint64_t bits = length_ * 8;
    block_[filled_++] = 0x80;
    if (filled_ > 56) {
      while (filled_ < 64) block_[filled_++] = 0;
      compress();
    }
    while (filled_ < 56) block_[filled_++] = 0;
    for (int k = 7; k >= 0; --k) block_[filled_++] = static_cast<unsigned char>(bits >> (8 * k));
    compress();
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::uint32_t word : state_) {
      for (int k = 28; k >= 0; k -= 4) out += kDigits[(word >> k) & 0xF];
    }
    return out;
  }

 private:
  void compress() {
    std::array<std::uint32_t, 64> w{};
    for (int i = 0; i < 16; ++i) {
      w[i] = (std::uint32_t{block_[4 * i]} << 24) | (std::uint32_t{block_[4 * i + 1]} << 16) |
             (std::uint32_t{block_[4 * i + 2]} << 8) | std::uint32_t{block_[4 * i + 3]};
    }
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    auto [a, b, c, d, e, f, g, h] = state_;
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t t1 = h + (rotate(e, 6) ^ rotate(e, 11) ^ rotate(e, 25)) +
                               ((e & f) ^ (~e & g)) + kRounds[i] + w[i];
      const std::uint32_t t2 =
          (rotate(a, 2) ^ rotate(a, 13) ^ rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    const std::uint32_t next[] = {a, b, c, d, e, f, g, h};
    for (int i = 0; i < 8; ++i) state_[i] += next[i];
    filled_ = 0;
  }

  std::array<std::uint32_t, 8> state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<unsigned char, 64> block_{};
  std::size_t filled_ = 0;
  std::uint64_t length_ = 0;
};

}  // namespace

std::string sha256(std::string_view bytes) {
  Sha256 digest;
  digest.add(bytes);
  return digest.hex();
}

std::string fileDigest(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("无法读取文件：" + text::utf8FromPath(file));
  Sha256 digest;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    digest.add(std::string_view(buffer, static_cast<std::size_t>(in.gcount())));
  }
  if (in.bad()) throw std::runtime_error("无法读取文件：" + text::utf8FromPath(file));
  return digest.hex();
}

}  // namespace replace
