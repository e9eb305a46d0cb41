#include "base/Sha256.h"

#include <gcrypt.h>

#include "base/CryptoLibrary.h"

namespace {
gcry_md_hd_t Md(void* p) {
  return static_cast<gcry_md_hd_t>(p);
}
}  // namespace

Sha256::Sha256() {
  gcry_md_hd_t h = nullptr;
  if (CryptoLibraryReady() && gcry_md_open(&h, GCRY_MD_SHA256, 0) == 0) md_ = h;
}

Sha256::~Sha256() {
  if (md_ != nullptr) gcry_md_close(Md(md_));
}

void Sha256::Update(const void* data, size_t len) {
  if (md_ != nullptr && !spent_ && len > 0) gcry_md_write(Md(md_), data, len);
}

std::string Sha256::Digest() {
  if (md_ == nullptr || spent_) return {};
  spent_ = true;
  const unsigned char* d = gcry_md_read(Md(md_), GCRY_MD_SHA256);
  if (d == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(d), 32);
}

std::string Sha256::HexDigest() {
  const std::string d = Digest();
  return d.empty() ? std::string() : HexOf(d.data(), d.size());
}

std::string Sha256::Hex(const void* data, size_t len) {
  Sha256 s;
  s.Update(data, len);
  return s.HexDigest();
}

std::string HexOf(const void* data, size_t len) {
  static const char kHex[] = "0123456789abcdef";
  const auto* p = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve(len * 2);
  for (size_t i = 0; i < len; ++i) {
    out.push_back(kHex[p[i] >> 4]);
    out.push_back(kHex[p[i] & 0xf]);
  }
  return out;
}
