#include "cli/commands.h"

#include <array>
#include <optional>
#include <string>

#include "cli/legacy_texts.h"
#include "core/commands.h"
#include "core/key_file_names.h"

namespace {

// The key files under fixed names, of both sets: no image is ever written over one (the
// stage-1 commands read the four of their set; a folder often holds both sets' makers).
constexpr std::array<const char*, 8> kFixedKeyFiles = {
    kMakerPrivateKeyV21, kMakerEFuseV21, kMakerPublicKeyV21, kStage2PublicKeyV21,
    kMakerPrivateKeyV11, kMakerEFuseV11, kMakerPublicKeyV11, kStage2PublicKeyV11};

std::int32_t key_pair(const sbl::KeySetLayout& set, std::int32_t mode, const char* baseName,
                      const char* uri) {
  core::Report report = printing_report();
  core::KeyPairJob job{&set, mode == kMakerMode, {}, {}, {}, uri};
  if (job.maker) {
    job.privateKey = set.files.makerPrivateKey;
    job.publicKey = set.files.makerPublicKey;
    job.eFuse = set.files.makerEFuse;
  } else {
    const auto names =
        baseName == nullptr ? std::nullopt : core::customer_files(set, baseName);
    if (!names) {
      report.refuse(core::Class::kUsage, core::Event::kKeyNameTooLong, baseName ? baseName : "",
                    "the key file names would not fit 128 bytes");
      return -1;
    }
    job.privateKey = names->privateKey;
    job.publicKey = names->publicKey;
  }
  return core::make_key_pair(report, job);
}

std::int32_t stage1(const sbl::KeySetLayout& set, const char* source, const char* destination,
                    bool buildInfo) {
  core::Report report = printing_report();
  core::SecureJob job;
  job.set = &set;
  job.image = source;
  job.output = destination;
  job.makerPrivateKey = set.files.makerPrivateKey;
  job.makerEFuse = set.files.makerEFuse;
  job.makerPublicKey = set.files.makerPublicKey;
  job.nextStageKey = set.files.stage2PublicKey;
  job.buildInfo = buildInfo;
  job.keyFiles = kFixedKeyFiles;
  return core::secure_bl1(report, job);
}

std::int32_t stage2(const sbl::KeySetLayout& set, const char* source, const char* destination,
                    const char* keyFile) {
  // The signing key given on the command line joins the fixed key files.
  std::array<const char*, kFixedKeyFiles.size() + 1> keys{};
  std::copy(kFixedKeyFiles.begin(), kFixedKeyFiles.end(), keys.begin());
  keys.back() = keyFile;
  core::Report report = printing_report();
  core::SignJob job;
  job.set = &set;
  job.image = source;
  job.output = destination;
  job.privateKey = keyFile;
  job.keyFiles = keys;
  return core::sign_bl2(report, job);
}

}  // namespace

std::int32_t sb20_Generate_KeyPair(std::int32_t mode, const char* baseName) {
  return key_pair(sbl::kKeySetV21, mode, baseName, nullptr);
}
std::int32_t sb10_Generate_KeyPair(std::int32_t mode, const char* baseName) {
  return key_pair(sbl::kKeySetV11, mode, baseName, nullptr);
}
std::int32_t sb20_Generate_KeyPair_InToken(std::int32_t mode, const char* baseName,
                                           const char* uri) {
  return key_pair(sbl::kKeySetV21, mode, baseName, uri);
}
std::int32_t sb10_Generate_KeyPair_InToken(std::int32_t mode, const char* baseName,
                                           const char* uri) {
  return key_pair(sbl::kKeySetV11, mode, baseName, uri);
}

std::int32_t Store_Key_InToken(const sbl::KeySetLayout& set, const char* keyFile, const char* uri,
                               const char* referenceFile) {
  core::Report report = printing_report();
  return core::store_key_in_token(report, set, keyFile, uri, referenceFile);
}

std::int32_t sb20_Generate_Stage1(const char* source, const char* destination) {
  return stage1(sbl::kKeySetV21, source, destination, false);
}
std::int32_t sb20_Generate_Stage1_Polymorphic(const char* source, const char* destination) {
  return stage1(sbl::kKeySetV21, source, destination, true);
}
std::int32_t sb10_Generate_Stage1(const char* source, const char* destination) {
  return stage1(sbl::kKeySetV11, source, destination, false);
}

std::int32_t sb20_Generate_Stage2(const char* source, const char* destination, const char* keyFile) {
  return stage2(sbl::kKeySetV21, source, destination, keyFile);
}
std::int32_t sb10_Generate_Stage2(const char* source, const char* destination, const char* keyFile) {
  return stage2(sbl::kKeySetV11, source, destination, keyFile);
}

std::int32_t sb20_Verify_Stage1(const char* imageFile, const char* eFuseFile) {
  core::Report report = printing_report();
  return core::verify_bl1(report, sbl::kKeySetV21, imageFile, eFuseFile);
}
std::int32_t sb10_Verify_Stage1(const char* imageFile, const char* eFuseFile) {
  core::Report report = printing_report();
  return core::verify_bl1(report, sbl::kKeySetV11, imageFile, eFuseFile);
}
std::int32_t sb20_Verify_Stage2(const char* imageFile, const char* keyFile) {
  core::Report report = printing_report();
  return core::verify_bl2(report, sbl::kKeySetV21, imageFile, keyFile);
}
std::int32_t sb10_Verify_Stage2(const char* imageFile, const char* keyFile) {
  core::Report report = printing_report();
  return core::verify_bl2(report, sbl::kKeySetV11, imageFile, keyFile);
}
