#include "tarnwick/external.h"

#include <array>
#include <string>

#include "core/external.h"
#include "core/files.h"

namespace tarnwick {

namespace {

// The digest goes to a file of its own: never over the image read, nor the image written.
bool digest_out_clashes(core::Report& report, const CommandLine& line) {
  const std::string& digest = *line.digestOut;
  for (const std::string* other : {&line.operands.front(), &*line.output}) {
    if (digest == *other || same_file(digest.c_str(), other->c_str())) {
      report.refuse(core::Class::kUsage, core::Event::kSilent, digest,
                    "--digest-out names " + *other + "; the digest needs a file of its own");
      return true;
    }
  }
  return false;
}

Existing existing_for(const CommandLine& line) {
  return line.force ? Existing::kReplace : Existing::kRefuse;
}

}  // namespace

void sign_external(core::Report& report, const CommandLine& line, const sbl::KeySetLayout& set) {
  if (digest_out_clashes(report, line)) return;
  const std::array<const char*, 1> keyFiles = {line.key->c_str()};
  core::PrepareBl2Job job;
  job.set = &set;
  job.image = line.operands.front().c_str();
  job.output = line.output->c_str();
  job.publicKey = line.key->c_str();
  job.digest = {line.digestOut->c_str(), line.hex};
  job.existing = existing_for(line);
  job.keyFiles = keyFiles;
  static_cast<void>(core::prepare_bl2(report, job));
}

void secure_external(core::Report& report, const CommandLine& line, const core::SecureJob& job) {
  if (digest_out_clashes(report, line)) return;
  static_cast<void>(core::prepare_bl1(report, job, {line.digestOut->c_str(), line.hex}));
}

void attach(core::Report& report, const CommandLine& line, const sbl::KeySetLayout*& set,
            std::vector<inspect::Check>& checks) {
  const std::string& image = line.operands.front();
  if (*line.signature == *line.output || same_file(line.signature->c_str(), line.output->c_str())) {
    report.refuse(core::Class::kOutput, core::Event::kSilent, *line.output,
                  "is the signature " + *line.signature + "; write the output to another file");
    return;
  }
  std::vector<const char*> keyFiles;
  if (line.key) keyFiles.push_back(line.key->c_str());
  if (line.efuse) keyFiles.push_back(line.efuse->c_str());
  core::AttachJob job;
  job.set = set;
  job.image = image.c_str();
  job.signature = line.signature->c_str();
  job.output = line.output->c_str();
  job.publicKey = line.key ? line.key->c_str() : nullptr;
  job.eFuse = line.efuse ? line.efuse->c_str() : nullptr;
  job.existing = existing_for(line);
  job.keyFiles = keyFiles;
  core::Attached attached;
  static_cast<void>(core::attach_signature(report, job, attached));
  if (attached.set != nullptr) set = attached.set;
  for (const core::AttachedCheck& check : attached.checks) {
    checks.push_back({check.name, true, check.detail});
  }
}

}  // namespace tarnwick
