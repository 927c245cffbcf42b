// Runs the fuzz target without libFuzzer: a fixed set of hand-made replies,
// then a bounded stream of generated ones built from reply fragments.
#include <cstdint>
#include <cstdlib>
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
  const std::vector<std::string> fragments = {"HTTP/1.1 200 OK",
                                              "HTTP/1.1 200 Activating",
                                              "\r\n",
                                              "\r\n\r\n",
                                              "\n",
                                              "\r",
                                              "X-Unit-ID:",
                                              "X-Unit-ID: ",
                                              "X-ZOR-PublicKey: ",
                                              "Content-Length:",
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
  for (const std::string& f : fragments) run(f);
  run("HTTP/1.1 200 OK\r\nContent-Length: 128\r\n\r\n" + std::string(128, '\x80'));

  long iterations = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000;
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
  return 0;
}
