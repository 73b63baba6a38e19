// The noise file reader: arbitrary contents (or a missing file, a folder, a FIFO) under the
// name "noise.dat" in a private temporary folder, mixed into targets of arbitrary length.
//
// Input: [target length: u8, mod 72][kind: u8][file contents: the rest]
// Invariants:
// - the file source alone (start_walk + mix_noise_file) XORs exactly the words a model of the
//   reader predicts: the first 256 bytes of a file that has them, else one word per started
//   group of 4 bytes, zero-padded; nothing for an empty, missing or unmeasurable file;
// - the walk ends where that many words leave it, and the scratch buffer is wiped;
// - the whole gatherer writes only inside the target's whole words (guards; a trailing
//   partial word and a target under 4 bytes stay untouched) and leaves pCur on a word of it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "random/noise_internal.h"

namespace {

namespace noise = qiv::noise;

enum class Kind { kRegular, kMissing, kFolder, kFifo };

Kind kind_of(std::uint8_t choice) {
  switch (choice % 8) {
    case 5: return Kind::kMissing;
    case 6: return Kind::kFolder;
    case 7: return Kind::kFifo;
    default: return Kind::kRegular;
  }
}

// A folder of our own, made once per process and removed with everything in it when the
// process ends; the harness owns "noise.dat" inside it.
class NoiseFolder {
 public:
  NoiseFolder() {
    const char* tmp = std::getenv("TMPDIR");
    folder_ = std::string(tmp != nullptr ? tmp : "/tmp") + "/qiv-noise-fuzz-XXXXXX";
    if (::mkdtemp(folder_.data()) == nullptr) std::abort();
    file_ = folder_ + "/noise.dat";
  }
  ~NoiseFolder() {
    remove_file();
    ::rmdir(folder_.c_str());
  }
  NoiseFolder(const NoiseFolder&) = delete;
  NoiseFolder& operator=(const NoiseFolder&) = delete;

  const std::string& file() const { return file_; }
  // Whatever kind of entry a previous input left under the name.
  void remove_file() const {
    if (::unlink(file_.c_str()) != 0) ::rmdir(file_.c_str());
  }

 private:
  std::string folder_;
  std::string file_;
};

const NoiseFolder& noise_folder() {
  static const NoiseFolder folder;
  return folder;
}

void make_noise_file(const std::string& path, Kind kind, const fuzz::Bytes& contents) {
  noise_folder().remove_file();
  switch (kind) {
    case Kind::kMissing:
      return;
    case Kind::kFolder:
      FUZZ_CHECK(::mkdir(path.c_str(), 0700) == 0);
      return;
    case Kind::kFifo:
      FUZZ_CHECK(::mkfifo(path.c_str(), 0600) == 0);
      return;
    case Kind::kRegular: {
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      FUZZ_CHECK(fd >= 0);
      std::size_t done = 0;
      while (done < contents.size()) {
        const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
      }
      ::close(fd);
      return;
    }
  }
}

// The words the file source must mix, in order.
std::vector<std::uint32_t> expected_words(Kind kind, const fuzz::Bytes& contents) {
  std::vector<std::uint32_t> words;
  if (kind != Kind::kRegular) return words;
  const std::size_t used = std::min<std::size_t>(contents.size(), noise::kScratchLen);
  for (std::size_t at = 0; at < used; at += 4) {
    std::uint8_t word[4] = {};
    std::memcpy(word, contents.data() + at, std::min<std::size_t>(4, used - at));
    words.push_back(fuzz::le32(word));
  }
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const std::uint32_t targetLen = in.u8() % 72;
  const Kind kind = kind_of(in.u8());
  const fuzz::Bytes contents = in.rest();
  const std::string& path = noise_folder().file();
  make_noise_file(path, kind, contents);

  const std::uint32_t targetWords = targetLen / 4;
  fuzz::Bytes initial(targetLen);
  for (std::uint32_t i = 0; i < targetLen; ++i) initial[i] = static_cast<std::uint8_t>(i * 37 + 11);

  // The file source alone, against the model.
  if (targetWords != 0) {
    fuzz::Guarded target(initial);
    FUZZ_CHECK(noise::start_walk(target.data(), targetLen));
    noise::Scratch scratch{};
    noise::mix_noise_file(path.c_str(), scratch);

    fuzz::Bytes expected = initial;
    const std::vector<std::uint32_t> words = expected_words(kind, contents);
    for (std::size_t i = 0; i < words.size(); ++i) {
      std::uint8_t* at = expected.data() + 4 * (i % targetWords);
      const std::uint32_t w = fuzz::le32(at) ^ words[i];
      for (int b = 0; b < 4; ++b) at[b] = static_cast<std::uint8_t>(w >> (8 * b));
    }
    FUZZ_CHECK(target.equals(expected));
    FUZZ_CHECK(target.guards_intact());
    FUZZ_CHECK(noise::pCur == target.data() + 4 * (words.size() % targetWords));
    FUZZ_CHECK(fuzz::all_zero(scratch));
  }

  // The whole gatherer, with the kernel device replaced by one that never has bytes: time,
  // usage and the platform generator vary from call to call, so only where it writes is fixed.
  {
    fuzz::Guarded target(initial);
    noise::gather(target.data(), targetLen, noise::Sources{path.c_str(), "/dev/null"});
    FUZZ_CHECK(target.guards_intact());
    const std::uint32_t whole = 4 * targetWords;
    FUZZ_CHECK(std::equal(initial.begin() + whole, initial.end(), target.data() + whole));
    if (targetWords == 0) {
      FUZZ_CHECK(target.equals(initial));
    } else {
      FUZZ_CHECK(noise::pCur >= target.data() && noise::pCur < target.data() + whole &&
                 (noise::pCur - target.data()) % 4 == 0);
    }
  }
  noise_folder().remove_file();
  return 0;
}
