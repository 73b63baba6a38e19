// hdrmark: writes one copy of the U-Boot image "u-boot.bin" per target model, each identical to
// the input except for a four-byte stamp in its header.
//
// Guarantees a build script can rely on:
//  - an output is touched only once its stamped image is complete in memory, and once touched it
//    ends either holding exactly that image or removed, never half written;
//  - every failure prints one line, and the exit status is 1 if any line of failure was printed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <utility>

namespace {

// Header stamp, in the order of its offsets; as a little-endian word at offset 8 it is 0xC7953000.
constexpr std::size_t kStampOffset = 8;
constexpr std::array<unsigned char, 4> kStamp = {0x00, 0x30, 0x95, 0xC7};
// The stamp must lie inside the image: it may neither write past the buffer nor grow the image.
constexpr off_t kMinImageSize = static_cast<off_t>(kStampOffset + kStamp.size());
// Sizes are reported as signed 32-bit counts; a larger image would be reported with a wrapped
// size, so it is refused instead.
constexpr off_t kMaxImageSize = INT32_MAX;

constexpr const char* kInput = "u-boot.bin";
constexpr std::array<const char*, 2> kOutputs = {"u-boot-alba.bin", "u-boot-brio.bin"};

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

// Fills `buffer` and confirms the file ends exactly there. A file shorter or longer than its
// reported size changed while we read it (or never had that size, as with kernel attribute
// files); a copy of it would be a wrong image, so either case fails.
[[nodiscard]] bool read_exactly(int fd, std::span<unsigned char> buffer) {
  while (!buffer.empty()) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer = buffer.subspan(static_cast<std::size_t>(n));
  }
  unsigned char beyond = 0;
  ssize_t n = 0;
  do {
    n = ::read(fd, &beyond, 1);
  } while (n < 0 && errno == EINTR);
  return n == 0;
}

[[nodiscard]] bool write_all(int fd, std::span<const unsigned char> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

// Creates or truncates `path` and writes `image` to it. Only a regular file is written; anything
// else (a directory, a device, a pipe) is left as it is. Once truncated, the file is removed
// again unless every byte reached it.
[[nodiscard]] bool write_image(const char* path, std::span<const unsigned char> image) {
  FileDescriptor out(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666));
  struct stat info {};
  if (!out.valid() || ::fstat(out.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (write_all(out.get(), image) && out.close()) return true;
  ::unlink(path);
  return false;
}

// Writes a stamped copy of `input_path` to `output_path`; false after printing why not.
[[nodiscard]] bool stamp_image(const char* input_path, const char* output_path) {
  // Non-blocking, so that a pipe in the input's place is refused rather than waited on.
  FileDescriptor in(::open(input_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (!in.valid() || ::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    std::printf("can't open uboot file for read(%s)\n", input_path);
    return false;
  }
  if (info.st_size > kMaxImageSize) {
    std::printf("u-boot.bin is too large to stamp (%lldB)\n", static_cast<long long>(info.st_size));
    return false;
  }
  const int size = static_cast<int>(info.st_size);
  std::printf("u-boot.bin file size= %dB\n", size);
  if (info.st_size < kMinImageSize) {
    std::printf("u-boot.bin is too small to stamp (%dB)\n", size);
    return false;
  }

  // An image that cannot be read whole cannot be copied: the failure is this output's.
  const auto length = static_cast<std::size_t>(size);
  const std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[length]());
  if (!buffer || !read_exactly(in.get(), {buffer.get(), length})) {
    std::printf("can't write uboot file(%s)\n", output_path);
    return false;
  }
  const std::span<unsigned char> image(buffer.get(), length);
  std::ranges::copy(kStamp, image.begin() + kStampOffset);
  if (!write_image(output_path, image)) {
    std::printf("can't write uboot file(%s)\n", output_path);
    return false;
  }
  return true;
}

constexpr const char* kHelp =
    "Usage: hdrmark\n"
    "Reads u-boot.bin in the current folder and writes u-boot-alba.bin and u-boot-brio.bin,\n"
    "each a copy with the header stamp 00 30 95 C7 at offset 8. Each copy is written whole or\n"
    "not at all. Status 0 when both were written, 1 after any failure message.\n"
    "  -h, --help   print this text and do nothing else\n"
    "  --version    print the version and do nothing else\n";
constexpr const char* kVersion = "hdrmark version 2.1\n";

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
  // Under a file-size limit a write must fail with an error we can clean up after, not kill us
  // with a half-written output left behind.
  std::signal(SIGXFSZ, SIG_IGN);

  // The copies are independent: a failure for one does not stop the next.
  bool all_written = true;
  for (const char* output : kOutputs) all_written = stamp_image(kInput, output) && all_written;
  return all_written ? EXIT_SUCCESS : EXIT_FAILURE;
}
