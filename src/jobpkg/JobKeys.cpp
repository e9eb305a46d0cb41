#include "jobpkg/JobKeys.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/CryptoLibrary.h"
#include "base/Hex.h"
#include "base/Sha256.h"
#include "platform/Files.h"

namespace {

constexpr size_t kMaxKeyFileBytes = 4096;
constexpr const char* kPublicTag = "ed25519-public";
constexpr const char* kSecretTag = "ed25519-secret";

// Releases an S-expression when it goes out of scope.
struct Sexp {
  gcry_sexp_t s = nullptr;
  ~Sexp() { gcry_sexp_release(s); }
};

bool Ready(std::string* error) {
  if (CryptoLibraryReady()) return true;
  *error = CryptoLibraryProblem();
  return false;
}

std::string LibraryError(const char* what, gcry_error_t e) {
  return std::string(what) + ": " + gcry_strerror(e);
}

// The 32 bytes of the named value in an S-expression (r, s, q, d).
bool Value32(gcry_sexp_t in, const char* name, uint8_t* out) {
  Sexp token;
  token.s = gcry_sexp_find_token(in, name, 0);
  if (token.s == nullptr) return false;
  size_t len = 0;
  const char* data = gcry_sexp_nth_data(token.s, 1, &len);
  if (data == nullptr || len == 0 || len > kEd25519KeyBytes) return false;
  // A value the library shortened loses leading zero bytes only.
  std::memset(out, 0, kEd25519KeyBytes - len);
  std::memcpy(out + (kEd25519KeyBytes - len), data, len);
  return true;
}

bool DecodeHex(const std::string& text, uint8_t* out, size_t bytes) {
  if (text.size() != bytes * 2) return false;
  for (size_t i = 0; i < bytes; ++i) {
    const int hi = HexDigitValue(text[2 * i]), lo = HexDigitValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    if ((text[2 * i] >= 'A' && text[2 * i] <= 'F') ||
        (text[2 * i + 1] >= 'A' && text[2 * i + 1] <= 'F'))
      return false;  // one spelling only: lower case
    out[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return true;
}

// The words of one line: the text must be exactly that line and a line end ("\n" or
// "\r\n"), with single spaces between the words.
bool SplitLine(const std::string& text, std::vector<std::string>* words) {
  std::string line = text;
  if (line.size() >= 1 && line.back() == '\n') line.pop_back();
  if (line.size() >= 1 && line.back() == '\r') line.pop_back();
  if (line.empty() || line.size() == text.size()) return false;
  words->clear();
  size_t at = 0;
  for (;;) {
    const size_t sp = line.find(' ', at);
    const std::string w = line.substr(at, sp == std::string::npos ? std::string::npos : sp - at);
    if (w.empty()) return false;
    for (char c : w)
      if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e)
        return false;
    words->push_back(w);
    if (sp == std::string::npos) return true;
    at = sp + 1;
  }
}

bool ReadSmallFile(const std::string& path, std::string* text, std::string* error) {
  InputFile f;
  if (const int e = f.Open(path)) {
    *error = path + ": cannot be opened (error " + std::to_string(e) + ")";
    return false;
  }
  if (const int e = f.ReadAll(kMaxKeyFileBytes, text)) {
    *error = path + ": cannot be read (error " + std::to_string(e) + ")";
    return false;
  }
  return true;
}

}  // namespace

const PublicKey* TrustedKeys::Find(const std::string& id) const {
  for (const PublicKey& k : keys)
    if (k.id == id) return &k;
  return nullptr;
}

std::string KeyIdOf(const std::array<uint8_t, kEd25519KeyBytes>& publicKey) {
  return Sha256::Hex(publicKey.data(), publicKey.size()).substr(0, kKeyIdChars);
}

bool GenerateSigningKey(SigningKey* out, std::string* error) {
  if (!Ready(error)) return false;
  std::array<uint8_t, kEd25519KeyBytes> seed{};
  gcry_randomize(seed.data(), seed.size(), GCRY_VERY_STRONG_RANDOM);
  const bool ok = SigningKeyFromSeed(seed, out, error);
  std::fill(seed.begin(), seed.end(), uint8_t{0});
  return ok;
}

bool SigningKeyFromSeed(const std::array<uint8_t, kEd25519KeyBytes>& seed, SigningKey* out,
                        std::string* error) {
  if (!Ready(error)) return false;
  Sexp key;
  gcry_error_t e =
      gcry_sexp_build(&key.s, nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(d %b)))",
                      static_cast<int>(seed.size()), seed.data());
  // The public key, derived from the seed through a context.
  gcry_ctx_t ctx = nullptr;
  if (e == 0) e = gcry_mpi_ec_new(&ctx, key.s, nullptr);
  if (e != 0) {
    *error = LibraryError("the key cannot be made", e);
    return false;
  }
  Sexp pub;
  e = gcry_pubkey_get_sexp(&pub.s, GCRY_PK_GET_PUBKEY, ctx);
  gcry_ctx_release(ctx);
  SigningKey k;
  k.seed = seed;
  if (e != 0 || !Value32(pub.s, "q", k.pub.bytes.data())) {
    *error = e != 0 ? LibraryError("the public key cannot be derived", e)
                    : "the public key cannot be derived";
    return false;
  }
  k.pub.id = KeyIdOf(k.pub.bytes);
  *out = k;
  return true;
}

bool SignMessage(const SigningKey& key, const std::string& message, std::string* signature,
                 std::string* error) {
  if (!Ready(error)) return false;
  Sexp sk, data, sig;
  gcry_error_t e =
      gcry_sexp_build(&sk.s, nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(q %b)(d %b)))",
                      static_cast<int>(key.pub.bytes.size()), key.pub.bytes.data(),
                      static_cast<int>(key.seed.size()), key.seed.data());
  if (e == 0)
    e = gcry_sexp_build(&data.s, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                        static_cast<int>(message.size()), message.data());
  if (e == 0) e = gcry_pk_sign(&sig.s, data.s, sk.s);
  if (e != 0) {
    *error = LibraryError("signing failed", e);
    return false;
  }
  uint8_t rs[kEd25519SignatureBytes];
  if (!Value32(sig.s, "r", rs) || !Value32(sig.s, "s", rs + 32)) {
    *error = "signing failed: the library's signature has an unexpected form";
    return false;
  }
  signature->assign(reinterpret_cast<const char*>(rs), sizeof rs);
  // A signature that does not verify against the public key means the key file's two
  // halves do not belong together: never hand such a signature out.
  if (!VerifyMessage(key.pub, message, *signature)) {
    *error = "the signing key's secret and public halves do not belong together";
    signature->clear();
    return false;
  }
  return true;
}

bool VerifyMessage(const PublicKey& key, const std::string& message, const std::string& signature) {
  if (!CryptoLibraryReady() || signature.size() != kEd25519SignatureBytes) return false;
  Sexp pk, data, sig;
  gcry_error_t e =
      gcry_sexp_build(&pk.s, nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))",
                      static_cast<int>(key.bytes.size()), key.bytes.data());
  if (e == 0)
    e = gcry_sexp_build(&data.s, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                        static_cast<int>(message.size()), message.data());
  if (e == 0)
    e = gcry_sexp_build(&sig.s, nullptr, "(sig-val(eddsa(r %b)(s %b)))", 32, signature.data(), 32,
                        signature.data() + 32);
  return e == 0 && gcry_pk_verify(sig.s, data.s, pk.s) == 0;
}

std::string PublicKeyText(const PublicKey& key) {
  return std::string(kPublicTag) + " " + HexOf(key.bytes.data(), key.bytes.size()) + "\n";
}

std::string SigningKeyText(const SigningKey& key) {
  return std::string(kSecretTag) + " " + HexOf(key.seed.data(), key.seed.size()) + " " +
         HexOf(key.pub.bytes.data(), key.pub.bytes.size()) + "\n";
}

bool ParsePublicKeyText(const std::string& text, PublicKey* out, std::string* error) {
  std::vector<std::string> w;
  PublicKey k;
  if (!SplitLine(text, &w) || w.size() != 2 || w[0] != kPublicTag ||
      !DecodeHex(w[1], k.bytes.data(), k.bytes.size())) {
    *error = std::string("not a public key (one line: \"") + kPublicTag + " <64 hex digits>\")";
    return false;
  }
  k.id = KeyIdOf(k.bytes);
  *out = k;
  return true;
}

bool ParseSigningKeyText(const std::string& text, SigningKey* out, std::string* error) {
  std::vector<std::string> w;
  SigningKey k;
  if (!SplitLine(text, &w) || w.size() != 3 || w[0] != kSecretTag ||
      !DecodeHex(w[1], k.seed.data(), k.seed.size()) ||
      !DecodeHex(w[2], k.pub.bytes.data(), k.pub.bytes.size())) {
    *error = std::string("not a signing key (one line: \"") + kSecretTag +
             " <64 hex digits> <64 hex digits>\")";
    return false;
  }
  SigningKey derived;
  if (!SigningKeyFromSeed(k.seed, &derived, error)) return false;
  if (derived.pub.bytes != k.pub.bytes) {
    *error = "the signing key's secret and public halves do not belong together";
    return false;
  }
  *out = derived;
  return true;
}

bool WriteKeyFiles(const SigningKey& key, const std::string& base, std::string* error) {
  const std::string keyPath = base + ".key", pubPath = base + ".pub";
  FileId id;
  if (FileIdOf(pubPath, &id) == 0) {
    *error = pubPath + ": already exists (nothing was written)";
    return false;
  }
  const std::string secret = SigningKeyText(key);
  if (const int e = CreateNewFile(keyPath, secret.data(), secret.size(), true)) {
    *error = keyPath + ": cannot be made (error " + std::to_string(e) +
             (FileIdOf(keyPath, &id) == 0 ? ", it exists already)" : ")");
    return false;
  }
  const std::string pub = PublicKeyText(key.pub);
  if (const int e = CreateNewFile(pubPath, pub.data(), pub.size(), false)) {
    *error =
        pubPath + ": cannot be made (error " + std::to_string(e) + "); " + keyPath + " was written";
    return false;
  }
  return true;
}

bool ReadSigningKey(const std::string& path, SigningKey* out, std::string* error) {
  std::string text, why;
  if (!ReadSmallFile(path, &text, error)) return false;
  if (!ParseSigningKeyText(text, out, &why)) {
    *error = path + ": " + why;
    return false;
  }
  return true;
}

bool ReadPublicKey(const std::string& path, PublicKey* out, std::string* error) {
  std::string text, why;
  if (!ReadSmallFile(path, &text, error)) return false;
  if (!ParsePublicKeyText(text, out, &why)) {
    *error = path + ": " + why;
    return false;
  }
  out->file = path;
  return true;
}

std::string TrustedKeysDir(const std::string& dataDir) {
  return dataDir + "/trusted-keys";
}

bool LoadTrustedKeys(const std::string& dir, TrustedKeys* out, std::string* error) {
  namespace fs = std::filesystem;
  out->keys.clear();
  std::error_code ec;
  const fs::path root = fs::u8path(dir);
  if (!fs::exists(root, ec)) return true;
  std::vector<std::string> files;
  for (auto it = fs::directory_iterator(root, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::u8string u8 = it->path().filename().u8string();
    const std::string name(u8.begin(), u8.end());
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pub") == 0 && name[0] != '.')
      files.push_back(name);
  }
  if (ec) {
    *error = dir + ": the trusted keys cannot be listed (" + ec.message() + ")";
    return false;
  }
  std::sort(files.begin(), files.end());
  TrustedKeys keys;
  for (const std::string& name : files) {
    PublicKey k;
    if (!ReadPublicKey(dir + "/" + name, &k, error)) return false;
    if (const PublicKey* twin = keys.Find(k.id)) {
      *error = k.file + ": the same key as " + twin->file;
      return false;
    }
    keys.keys.push_back(k);
  }
  *out = keys;
  return true;
}
