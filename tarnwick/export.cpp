#include "tarnwick/export.h"

#include "core/export_key.h"
#include "format/format.h"

namespace tarnwick {

void export_key(const CommandLine& line, core::Report& report, const sbl::KeySetLayout*& set) {
  core::ExportJob job;
  job.keyFile = line.operands.front().c_str();
  job.output = line.output->c_str();
  job.der = line.format == "der";
  job.pkcs1 = line.pkcs1;
  job.existing = line.force ? Existing::kReplace : Existing::kRefuse;
  static_cast<void>(core::export_public_key(report, job));
  if (!report.keys().empty()) {
    set = report.keys().front().set == "v1.1" ? &sbl::kKeySetV11 : &sbl::kKeySetV21;
  }
}

void export_lines(const core::Report& report, std::vector<std::string>& lines) {
  for (const core::Written& file : report.written()) {
    std::string text =
        printable(file.path) + ": " + file.what + ", " + std::to_string(file.size) + " bytes";
    if (!report.keys().empty()) text += ", fingerprint " + report.keys().front().fingerprint;
    lines.push_back(text);
  }
}

}  // namespace tarnwick
