// Job packages: the keys against RFC 8032's first test vector, packages built by
// BuildJobPackage and verified from their files, and the packages a station must
// refuse, each with the reason it gives. Manifests signed by a trusted key reach the
// strict manifest checks; bytes changed after signing never get past the signature or
// the digests. The engineer password's hash: made and checked, and the stored forms a
// station refuses.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>

#include "base/Sha256.h"
#include "job/Logcfg.h"
#include "jobpkg/EngineerPassword.h"
#include "jobpkg/JobKeys.h"
#include "jobpkg/JobPackage.h"
#include "platform/fake/TempDir.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

std::array<uint8_t, 32> Bytes32(const std::string& hex) {
  std::array<uint8_t, 32> out{};
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return out;
}

SigningKey KeyFromSeed(uint8_t fill) {
  std::array<uint8_t, 32> seed{};
  seed.fill(fill);
  SigningKey k;
  std::string error;
  EXPECT_TRUE(SigningKeyFromSeed(seed, &k, &error)) << error;
  return k;
}

// text with its first `from` replaced by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(std::string::npos, at) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::string Section(const std::string& tag, const std::string& body) {
  return tag + " " + std::to_string(body.size()) + "\n" + body + "\n";
}

// A package around any manifest text, signed by key: for manifests that only a
// trusted engineer's mistake (or a faulty tool) could produce.
std::string Assemble(const std::string& manifest, const SigningKey& key,
                     const std::string& images) {
  std::string sig, error;
  EXPECT_TRUE(SignMessage(key, manifest, &sig, &error)) << error;
  const std::string signature = "{\"algorithm\":\"ed25519\",\"key\":\"" + key.pub.id +
                                "\",\"value\":\"" + HexOf(sig.data(), sig.size()) + "\"}";
  return "PT-JOB-PACKAGE 1\n" + Section("manifest", manifest) + Section("signature", signature) +
         images;
}

std::string FirmwareManifest(const std::string& image, const std::string& extraStep = "",
                             const std::string& size = "") {
  return "{\"format\":1,\"name\":\"Board\",\"version\":\"2\",\"created\":\"2026-01-02T03:04:05Z\","
         "\"steps\":{\"eeprom\":false,\"firmware\":true,\"loopback\":true,\"programMac\":\"pool\","
         "\"reflash\":false,\"fastDownload\":false,\"continuous\":false,\"scanSerial\":false,"
         "\"serialPattern\":\"\",\"consoleBaud\":115200" +
         extraStep + "},\"images\":{\"firmware\":{\"file\":\"fw.bin\",\"size\":" +
         (size.empty() ? std::to_string(image.size()) : size) + ",\"sha256\":\"" +
         Sha256::Hex(image) + "\"}}}";
}

class JobPackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = KeyFromSeed(7);
    trusted_.keys.push_back(key_.pub);
    eeprom_ = std::string(1024, '\x5a');
    firmware_.resize(64 * 1024);
    for (size_t i = 0; i < firmware_.size(); ++i) firmware_[i] = static_cast<char>(i * 31 + 7);
    dir_.Write("ee.bin", eeprom_);
    dir_.Write("fw.bin", firmware_);
    spec_.name = "Board A";
    spec_.version = "1.4";
    spec_.created = "2026-12-01T10:00:00Z";
    spec_.steps.eeprom = spec_.steps.firmware = spec_.steps.loopback = true;
    spec_.steps.programMac = MacSource::Pool;
    spec_.steps.scanSerial = true;
    spec_.steps.serialPattern = "SN[0-9]{6}";
    spec_.steps.consoleBaud = 57600;
    spec_.eepromPath = dir_.File("ee.bin");
    spec_.firmwarePath = dir_.File("fw.bin");
  }

  std::string Build() {
    std::string error;
    EXPECT_TRUE(BuildJobPackage(spec_, key_, dir_.File("a.pkg"), &error)) << error;
    return dir_.Read("a.pkg");
  }

  // The reason bytes are refused for ("" when they verify).
  std::string Refusal(const std::string& bytes, const TrustedKeys* trusted = nullptr) {
    JobPackage p;
    std::string error;
    if (ParseJobPackage(bytes, "x.pkg", trusted ? *trusted : trusted_, &p, &error)) return "";
    EXPECT_EQ(0u, error.find("job package x.pkg: ")) << error;
    return error.empty() ? "(no reason)" : error;
  }

  TempDir dir_{"jobpkg"};
  SigningKey key_;
  TrustedKeys trusted_;
  std::string eeprom_, firmware_;
  JobPackageSpec spec_;
};

TEST(JobKeys, Rfc8032VectorKeyFilesAndTrustedDirectory) {
  // RFC 8032, 7.1, test 1: the public key of the seed and the signature of "".
  SigningKey k;
  std::string error, sig;
  ASSERT_TRUE(SigningKeyFromSeed(
      Bytes32("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"), &k, &error))
      << error;
  EXPECT_EQ("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a",
            HexOf(k.pub.bytes.data(), 32));
  ASSERT_TRUE(SignMessage(k, "", &sig, &error)) << error;
  EXPECT_EQ(
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
      "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b",
      HexOf(sig.data(), sig.size()));
  EXPECT_TRUE(VerifyMessage(k.pub, "", sig));
  EXPECT_FALSE(VerifyMessage(k.pub, "x", sig));
  EXPECT_FALSE(VerifyMessage(KeyFromSeed(1).pub, "", sig));

  // Key files: the secret one owner-only, neither ever overwritten; read back whole.
  TempDir dir("jobkeys");
  SigningKey fresh;
  ASSERT_TRUE(GenerateSigningKey(&fresh, &error)) << error;
  EXPECT_NE(fresh.pub.bytes, k.pub.bytes);
  ASSERT_TRUE(WriteKeyFiles(fresh, dir.File("eng"), &error)) << error;
  EXPECT_FALSE(WriteKeyFiles(k, dir.File("eng"), &error));
#ifndef _WIN32
  struct stat st {};
  ASSERT_EQ(0, ::stat(dir.File("eng.key").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777u);
#endif
  SigningKey back;
  ASSERT_TRUE(ReadSigningKey(dir.File("eng.key"), &back, &error)) << error;
  EXPECT_EQ(fresh.seed, back.seed);
  EXPECT_EQ(fresh.pub.id, back.pub.id);
  // A secret whose public half is another key's is refused.
  std::string text = SigningKeyText(fresh);
  text.replace(text.size() - 65, 64, HexOf(k.pub.bytes.data(), 32));
  EXPECT_FALSE(ParseSigningKeyText(text, &back, &error));
  EXPECT_NE(std::string::npos, error.find("do not belong together")) << error;

  // The trusted directory: every *.pub; a bad one or a twin fails the load, named.
  TempDir trusted("trusted");
  TrustedKeys keys;
  ASSERT_TRUE(LoadTrustedKeys(trusted.File("none"), &keys, &error)) << error;
  EXPECT_TRUE(keys.keys.empty());
  trusted.Write("a.pub", PublicKeyText(k.pub));
  trusted.Write("b.pub", PublicKeyText(fresh.pub));
  trusted.Write("notes.txt", "not a key");
  ASSERT_TRUE(LoadTrustedKeys(trusted.path(), &keys, &error)) << error;
  ASSERT_EQ(2u, keys.keys.size());
  EXPECT_EQ(k.pub.id, keys.Find(k.pub.id)->id);
  EXPECT_EQ(16u, k.pub.id.size());
  trusted.Write("c.pub", PublicKeyText(k.pub));
  EXPECT_FALSE(LoadTrustedKeys(trusted.path(), &keys, &error));
  EXPECT_NE(std::string::npos, error.find("c.pub")) << error;
  trusted.Write("c.pub", "ed25519-public 12\n");
  EXPECT_FALSE(LoadTrustedKeys(trusted.path(), &keys, &error));
  EXPECT_NE(std::string::npos, error.find("c.pub: not a public key")) << error;
}

TEST_F(JobPackageTest, RoundTripFromFiles) {
  Build();
  const std::string keys = dir_.File("trusted-keys");
  std::filesystem::create_directory(std::filesystem::u8path(keys));
  dir_.Write("trusted-keys/eng.pub", PublicKeyText(key_.pub));
  TrustedKeys trusted;
  std::string error;
  ASSERT_TRUE(LoadTrustedKeys(keys, &trusted, &error)) << error;
  JobPackage p;
  ASSERT_TRUE(VerifyJobPackage(dir_.File("a.pkg"), trusted, &p, &error)) << error;
  EXPECT_TRUE(p.signatureChecked);
  EXPECT_EQ("Board A", p.name);
  EXPECT_EQ("1.4", p.version);
  EXPECT_EQ("2026-12-01T10:00:00Z", p.created);
  EXPECT_EQ(key_.pub.id, p.keyId);
  EXPECT_EQ(Sha256::Hex(dir_.Read("a.pkg")), p.sha256);
  EXPECT_TRUE(p.steps.eeprom && p.steps.firmware && p.steps.loopback && p.steps.scanSerial);
  EXPECT_EQ(MacSource::Pool, p.steps.programMac);
  EXPECT_EQ("SN[0-9]{6}", p.steps.serialPattern);
  EXPECT_EQ(57600u, p.steps.consoleBaud);
  EXPECT_FALSE(p.steps.reflash || p.steps.fastDownload || p.steps.continuous);
  EXPECT_EQ(eeprom_, p.eeprom.bytes);
  EXPECT_EQ(firmware_, p.firmware.bytes);
  EXPECT_EQ("fw.bin", p.firmware.fileName);
  EXPECT_EQ(Sha256::Hex(firmware_), p.firmware.sha256);

  // A loopback-only job holds no image; inspect reads without a key.
  spec_.steps = JobSteps{};
  spec_.steps.loopback = true;
  spec_.steps.fastDownload = spec_.steps.continuous = true;
  Build();
  ASSERT_TRUE(InspectJobPackage(dir_.File("a.pkg"), &p, &error)) << error;
  EXPECT_FALSE(p.signatureChecked);
  EXPECT_TRUE(p.eeprom.bytes.empty() && p.firmware.bytes.empty());
  EXPECT_TRUE(p.steps.loopback && p.steps.fastDownload && p.steps.continuous);
}

TEST_F(JobPackageTest, ChangedBytesAndUntrustedKeysRefused) {
  const std::string good = Build();
  ASSERT_EQ("", Refusal(good));
  const size_t fw = good.rfind("firmware 65536\n") + 20;
  const size_t name = good.find("Board A");
  const size_t value = good.find("\"value\":\"") + 20;
  auto flipped = [&](size_t at, char to = 0) {
    std::string b = good;
    b[at] = to ? to : static_cast<char>(b[at] ^ 0x01);
    return b;
  };
  EXPECT_NE(std::string::npos,
            Refusal(flipped(fw)).find("firmware image's SHA-256 does not match"));
  EXPECT_NE(std::string::npos,
            Refusal(flipped(good.rfind("eeprom 1024\n") + 12)).find("EEPROM image's SHA-256"));
  EXPECT_NE(std::string::npos, Refusal(flipped(name)).find("signature does not verify"));
  EXPECT_NE(
      std::string::npos,
      Refusal(flipped(value, good[value] == '0' ? '1' : '0')).find("signature does not verify"));
  EXPECT_NE(std::string::npos, Refusal(flipped(value, 'x')).find("the signature value is not"));

  // Keys: an untrusted signer, and a station that trusts nobody.
  TrustedKeys other;
  other.keys.push_back(KeyFromSeed(9).pub);
  EXPECT_NE(std::string::npos,
            Refusal(good, &other)
                .find("signed by key " + key_.pub.id + ", which this station does not trust"));
  const TrustedKeys nobody;
  EXPECT_NE(std::string::npos, Refusal(good, &nobody).find("it trusts no key"));

  // Every cut of the file is refused, and so is a byte after its end.
  for (size_t n :
       {size_t{0}, size_t{5}, size_t{17}, name, value, fw, good.size() - 2, good.size() - 1}) {
    EXPECT_NE("", Refusal(good.substr(0, n))) << n;
  }
  EXPECT_NE(std::string::npos, Refusal(good.substr(0, fw)).find("firmware section is cut short"));
  EXPECT_NE(std::string::npos, Refusal(good + "x").find("1 bytes follow the last section"));
  EXPECT_NE(std::string::npos, Refusal("PT-JOB-PACKAGE 2\n").find("format \"2\" is not supported"));
  EXPECT_NE(std::string::npos, Refusal("PK\x03\x04").find("not a job package"));

  // A file over the limit is refused before it is read.
  dir_.Write("big.pkg", good);
  std::filesystem::resize_file(std::filesystem::u8path(dir_.File("big.pkg")),
                               kMaxJobPackageSize + 1);
  JobPackage p;
  std::string error;
  EXPECT_FALSE(VerifyJobPackage(dir_.File("big.pkg"), trusted_, &p, &error));
  EXPECT_NE(std::string::npos, error.find("larger than 32 MB")) << error;
}

TEST_F(JobPackageTest, SignedManifestsCheckedStrictly) {
  const std::string fw(100, 'f');
  const std::string image = Section("firmware", fw);
  ASSERT_EQ("", Refusal(Assemble(FirmwareManifest(fw), key_, image)));
  const struct {
    std::string manifest, images, reason;
  } cases[] = {
      {FirmwareManifest(fw, ",\"speed\":1"), image, "unknown field \"steps.speed\""},
      {FirmwareManifest(fw, ",\"loopback\":false"), image, "the field \"loopback\" more than once"},
      {FirmwareManifest(fw, "", "99"), image, "firmware image is 100 bytes, the manifest says 99"},
      {FirmwareManifest(fw, "", "100.0"), image, "\"images.firmware.size\" is not a whole number"},
      {FirmwareManifest(fw), Section("firmware", std::string(100, 'g')), "SHA-256 does not match"},
      {FirmwareManifest(fw), Section("eeprom", fw), "the firmware section is missing"},
      {FirmwareManifest(fw), "", "the firmware section is missing"},
      {FirmwareManifest(fw), image + image, "bytes follow the last section"},
      {"[1]", "", "the manifest is not a JSON object"},
      {"{\"format\":1", "", "the manifest is not valid JSON"},
      {"{\"format\":2}", "", "manifest is of format 2"},
  };
  for (const auto& c : cases) {
    const std::string why = Refusal(Assemble(c.manifest, key_, c.images));
    EXPECT_NE(std::string::npos, why.find(c.reason)) << c.reason << " / " << why;
  }
  const std::string missing =
      Replaced(FirmwareManifest(fw), "\"created\":\"2026-01-02T03:04:05Z\",", "");
  EXPECT_NE(std::string::npos,
            Refusal(Assemble(missing, key_, image)).find("lacks the field \"created\""));
  const std::string pattern =
      Replaced(FirmwareManifest(fw), "\"scanSerial\":false,\"serialPattern\":\"\"",
               "\"scanSerial\":true,\"serialPattern\":\"([\"");
  EXPECT_NE(std::string::npos,
            Refusal(Assemble(pattern, key_, image)).find("is not a regular expression"));
}

TEST_F(JobPackageTest, EepromWithoutMacOnlyAsMarkedReflash) {
  // At build time: refused unless marked; the mark on any other job is refused too.
  spec_.steps.programMac = MacSource::None;
  std::string error;
  EXPECT_FALSE(BuildJobPackage(spec_, key_, dir_.File("r.pkg"), &error));
  EXPECT_NE(std::string::npos, error.find("without programming a MAC address")) << error;
  EXPECT_FALSE(dir_.Exists("r.pkg"));
  spec_.steps.reflash = true;
  Build();
  JobPackage p;
  ASSERT_TRUE(VerifyJobPackage(dir_.File("a.pkg"), trusted_, &p, &error)) << error;
  EXPECT_TRUE(p.steps.reflash);
  spec_.steps.programMac = MacSource::Assigned;
  EXPECT_FALSE(BuildJobPackage(spec_, key_, dir_.File("r.pkg"), &error));
  EXPECT_NE(std::string::npos, error.find("re-flash mark belongs only")) << error;

  // At verification: a signed manifest that breaks the rule is refused all the same.
  const std::string ee(1024, 'e');
  std::string m = Replaced(FirmwareManifest(ee), "\"eeprom\":false,\"firmware\":true",
                           "\"eeprom\":true,\"firmware\":false");
  m = Replaced(m, "\"programMac\":\"pool\"", "\"programMac\":\"none\"");
  m = Replaced(m, "\"firmware\":{\"file\"", "\"eeprom\":{\"file\"");
  EXPECT_NE(
      std::string::npos,
      Refusal(Assemble(m, key_, Section("eeprom", ee))).find("without programming a MAC address"));
  // An image beyond its limit.
  dir_.Write("big.bin", std::string(kMaxEepromImageSize + 1, 'b'));
  spec_.steps.reflash = false;
  spec_.eepromPath = dir_.File("big.bin");
  EXPECT_FALSE(BuildJobPackage(spec_, key_, dir_.File("r.pkg"), &error));
  EXPECT_NE(std::string::npos, error.find("larger than 1152 bytes")) << error;
}

TEST(EngineerPassword, HashRoundTripAndStoredFormsRefused) {
  constexpr uint32_t kFew = kEngineerPasswordMinIterations;
  const std::string pw = "Prüfstand 7";  // UTF-8
  std::string a, b, error;
  bool match = true;
  ASSERT_TRUE(MakeEngineerPasswordHash(pw, &a, &error, kFew)) << error;
  ASSERT_TRUE(MakeEngineerPasswordHash(pw, &b, &error, kFew)) << error;
  EXPECT_EQ(std::string("pbkdf2-sha256$10000$").size() + 32 + 1 + 64, a.size()) << a;
  EXPECT_NE(a.substr(0, 52), b.substr(0, 52));  // a fresh salt every time
  ASSERT_TRUE(CheckEngineerPassword(a, pw, &match, &error)) << error;
  EXPECT_TRUE(match);
  for (const std::string wrong : {"Prüfstand 8", "Prüfstand 7 ", "Prufstand 7", "", "p"}) {
    match = true;
    ASSERT_TRUE(CheckEngineerPassword(a, wrong, &match, &error)) << error;
    EXPECT_FALSE(match) << wrong;
  }
  // A hash made elsewhere (PBKDF2-HMAC-SHA256 of the UTF-8 bytes, 16-byte salt, 32-byte key).
  const std::string known =
      "pbkdf2-sha256$10000$000102030405060708090a0b0c0d0e0f$"
      "8cad11d7b29ad6703825a734c414b708869e4d98ef9d3b3a629f88cce10e40ed";
  ASSERT_TRUE(CheckEngineerPassword(known, pw, &match, &error)) << error;
  EXPECT_TRUE(match);
  // Passwords no hash is made of; iterations a station would refuse are not made either.
  EXPECT_FALSE(MakeEngineerPasswordHash("", &b, &error, kFew));
  EXPECT_FALSE(
      MakeEngineerPasswordHash(std::string(kMaxEngineerPasswordChars + 1, 'x'), &b, &error, kFew));
  EXPECT_NE(std::string::npos, error.find("longer than 256")) << error;
  EXPECT_TRUE(
      MakeEngineerPasswordHash(std::string(kMaxEngineerPasswordChars, 'x'), &b, &error, kFew))
      << error;
  EXPECT_FALSE(MakeEngineerPasswordHash("x", &b, &error, kFew - 1));

  // Stored forms refused, each with its reason and never with the stored text.
  const std::string salt = "000102030405060708090a0b0c0d0e0f";
  const std::string key = known.substr(known.size() - 64);
  const struct {
    std::string stored, reason;
  } refused[] = {
      {"", "not of the form"},
      {"secret-in-clear", "not of the form"},
      {known + "$", "not of the form"},
      {"pbkdf2-sha1$10000$" + salt + "$" + key, "unknown kind"},
      {"pbkdf2-sha256$9999$" + salt + "$" + key, "unsafe: 9999 iterations"},
      {"pbkdf2-sha256$10000001$" + salt + "$" + key, "more than 10000000"},
      {"pbkdf2-sha256$99999999999999999999$" + salt + "$" + key, "more than 10000000"},
      {"pbkdf2-sha256$010000$" + salt + "$" + key, "iterations are not a number"},
      {"pbkdf2-sha256$+10000$" + salt + "$" + key, "iterations are not a number"},
      {"pbkdf2-sha256$10000$" + salt.substr(2) + "$" + key, "salt is not 32"},
      {"pbkdf2-sha256$10000$" + salt + "$" + Replaced(key, "8c", "8C"), "key is not 64"},
      {"pbkdf2-sha256$10000$" + salt + "$" + key + "0", "key is not 64"},
  };
  for (const auto& r : refused) {
    match = true;
    error.clear();
    EXPECT_FALSE(CheckEngineerPassword(r.stored, pw, &match, &error)) << r.stored;
    EXPECT_FALSE(match) << r.stored;
    EXPECT_NE(std::string::npos, error.find(r.reason)) << r.stored << ": " << error;
    if (!r.stored.empty()) {
      EXPECT_EQ(std::string::npos, error.find(r.stored)) << error;
    }
  }
}

}  // namespace
