// Runs a fuzz target without libFuzzer: every file of its corpus directory,
// then a bounded stream of inputs made from them by random edits (bytes
// changed, inserted or cut, pieces of two files spliced).
//   TARGET ITERATIONS CORPUS_DIR
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void run(const std::string& input) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> corpus;
  std::error_code error;
  if (argc == 3) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[2], error)) {
      std::ifstream in(entry.path(), std::ios::binary);
      corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      run(corpus.back());
    }
  }
  // A missing or empty corpus would make this test pass on nothing.
  if (error || corpus.empty()) {
    std::fprintf(stderr, "usage: %s ITERATIONS CORPUS_DIR (with corpus files)\n", argv[0]);
    return 1;
  }
  std::mt19937 rng(12345);
  for (long i = std::strtol(argv[1], nullptr, 10); i > 0; --i) {
    std::string input = corpus[rng() % corpus.size()];
    for (std::size_t edits = 1 + rng() % 4; edits > 0; --edits) {
      std::size_t at = input.empty() ? 0 : rng() % input.size();
      const std::string& other = corpus[rng() % corpus.size()];
      const auto edit = rng() % 3;
      if (edit == 0 && !input.empty()) input[at] = static_cast<char>(rng());
      if (edit == 1) input.insert(at, 1, "\0\r\n:/.="[rng() % 7]);
      if (edit == 2) input = input.substr(0, at) + other.substr(rng() % (other.size() + 1));
    }
    run(input);
  }
  return 0;
}
