// padfill: pads the U-Boot image "u-boot.bin" in place with zero bytes up to the size of its
// reserved area, so that the image fills that area exactly.
//
// Guarantees a build script can rely on:
//  - the existing bytes are never rewritten: the file is opened for appending only;
//  - a missing image is an error, never a fresh all-zero one;
//  - a run that fails leaves the file as it was found, prints one line of failure and ends
//    with status 1; a full success ends with 0.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

namespace {

// Size of the image's reserved area: 335,872 bytes (328 KiB).
constexpr off_t kTargetSize = 0x52000;
// Sizes are reported as signed 32-bit counts; a larger file would be reported with a wrapped
// size, so it is refused with a message of its own.
constexpr off_t kMaxReportableSize = INT32_MAX;

constexpr const char* kImage = "u-boot.bin";

// Owns one open descriptor.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  // Closes now; false if the system reports a late write error.
  [[nodiscard]] bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

[[nodiscard]] bool write_all(int fd, std::span<const unsigned char> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

// Pads the image at `path` to kTargetSize; false after printing why not.
[[nodiscard]] bool pad_image(const char* path) {
  // Append-only, so padding can land only after the existing bytes; no O_CREAT, so a missing
  // image stays missing; non-blocking, so a pipe in its place is refused rather than waited on.
  FileDescriptor file(::open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    std::printf("can't open uboot file for read(%s)\n", path);
    return false;
  }
  const off_t original_size = info.st_size;
  if (original_size > kMaxReportableSize) {
    std::printf("%s is too large to pad (%lldB)\n", path, static_cast<long long>(original_size));
    return false;
  }
  std::printf("before padding uboot.bin file size= %dB\n", static_cast<int>(original_size));
  if (original_size > kTargetSize) {
    std::printf("error: too large uboot !!!");
    return false;
  }

  const auto padding = static_cast<std::size_t>(kTargetSize - original_size);
  const std::unique_ptr<unsigned char[]> zeros(new (std::nothrow) unsigned char[padding]());
  if (!zeros) {
    std::printf("memory alloc failed !!!");
    return false;
  }
  if (!write_all(file.get(), {zeros.get(), padding}) || !file.close()) {
    // Take back whatever part of the padding did land. Best effort: the run fails either way.
    std::ignore = ::truncate(path, original_size);
    std::printf("can't write uboot file(%s)\n", path);
    return false;
  }
  std::printf("%d B written \n", static_cast<int>(padding));
  return true;
}

constexpr const char* kHelp =
    "Usage: padfill\n"
    "Pads u-boot.bin in the current folder, in place, with zero bytes to 0x52000 bytes (its\n"
    "reserved area). The existing bytes are never rewritten; a missing or larger image is\n"
    "refused and left as it was. Status 0 on success, 1 after a failure message.\n"
    "  -h, --help   print this text and do nothing else\n"
    "  --version    print the version and do nothing else\n";
constexpr const char* kVersion = "padfill version 2.1\n";

// Asked for its help or version, the tool prints it and touches no file. Any other argument
// is ignored, as it always has been: build scripts call the tool without arguments.
[[nodiscard]] bool answered(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help" || arg == "--version") {
      std::fputs(arg == "--version" ? kVersion : kHelp, stdout);
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (answered(argc, argv)) return EXIT_SUCCESS;
  // Under a file-size limit a write must fail with an error we can undo, not kill us with the
  // image half padded.
  std::signal(SIGXFSZ, SIG_IGN);
  return pad_image(kImage) ? EXIT_SUCCESS : EXIT_FAILURE;
}
