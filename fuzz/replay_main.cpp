// Runs a fuzz target without libFuzzer: every file of its corpus directory,
// then a bounded stream of generated inputs built from reply fragments.
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
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s ITERATIONS CORPUS_DIR\n", argv[0]);
    return 2;
  }
  std::size_t files = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(argv[2], error)) {
    std::ifstream in(entry.path(), std::ios::binary);
    run(std::string(std::istreambuf_iterator<char>(in), {}));
    ++files;
  }
  // A missing or empty corpus would make this test pass on nothing.
  if (error || files == 0) {
    std::fprintf(stderr, "no corpus files in %s\n", argv[2]);
    return 1;
  }

  const std::vector<std::string> fragments = {"HTTP/1.1 200 OK",
                                              "HTTP/1.1 200 Activating",
                                              "\r\n",
                                              "\r\n\r\n",
                                              "\n",
                                              "\r",
                                              "X-Unit-ID: ",
                                              "X-ZOR-PublicKey: ",
                                              "Content-Length: ",
                                              "128",
                                              "-1",
                                              "99999999999999999999",
                                              " ",
                                              ":",
                                              "://",
                                              "/",
                                              "https://h:8443/p",
                                              std::string(1, '\0'),
                                              "MTIzLjY1NTM3",
                                              "====",
                                              std::string(300, 'A'),
                                              "\xff\xfe"};
  long iterations = std::strtol(argv[1], nullptr, 10);
  std::mt19937 rng(12345);
  for (long i = 0; i < iterations; ++i) {
    std::string input;
    std::size_t pieces = rng() % 12;
    for (std::size_t p = 0; p < pieces; ++p) {
      if (rng() % 4 == 0) {
        input.push_back(static_cast<char>(rng() & 0xff));
      } else {
        input += fragments[rng() % fragments.size()];
      }
    }
    run(input);
  }
  std::printf("%zu corpus files and %ld generated inputs\n", files, iterations);
  return 0;
}
