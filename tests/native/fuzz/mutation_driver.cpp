// Stands in for libFuzzer where clang's is not installed: runs every input of the
// corpus folders, then mutations of them (bit flips, byte changes, inserts, cuts,
// splices) from a fixed seed until -runs=N mutated inputs have run or -max_total_time=N
// seconds have passed. It takes the same command line as a libFuzzer target, so CTest
// runs either the same way; with -runs alone a run is the same every time.
#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

void Run(const Bytes& input) { LLVMFuzzerTestOneInput(input.data(), input.size()); }

// In name order: the directory's own order would make the mutations differ between runs.
void LoadFolder(const std::string& folder, std::vector<Bytes>* corpus) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::ifstream in(folder + "/" + name, std::ios::binary);
    corpus->emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
}

Bytes Mutate(const std::vector<Bytes>& corpus, std::mt19937& random) {
  Bytes input = corpus[random() % corpus.size()];
  const int steps = 1 + static_cast<int>(random() % 4);
  for (int i = 0; i < steps; ++i) {
    const size_t at = input.empty() ? 0 : random() % input.size();
    switch (random() % 6) {
      case 0: if (!input.empty()) input[at] ^= static_cast<uint8_t>(1u << (random() % 8)); break;
      case 1: if (!input.empty()) input[at] = static_cast<uint8_t>(random()); break;
      case 2: input.insert(input.begin() + static_cast<long>(at), static_cast<uint8_t>(random())); break;
      case 3: if (!input.empty()) input.erase(input.begin() + static_cast<long>(at)); break;
      case 4: {  // a marker or key, where mutations alone would rarely spell one
        static const char* const kWords[] = {"DATA:", "SAVETO:", "MD5:", "WHATNEW:", "VERSION:",
                                             "ERROR", "latest_version", "Future_Version", "data:"};
        const char* word = kWords[random() % 9];
        input.insert(input.begin() + static_cast<long>(at), word, word + std::strlen(word));
        break;
      }
      default: {  // the tail of another input
        const Bytes& other = corpus[random() % corpus.size()];
        if (other.empty()) break;
        const size_t from = random() % other.size();
        input.resize(at);
        input.insert(input.end(), other.begin() + static_cast<long>(from), other.end());
        break;
      }
    }
  }
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  double seconds = -1;
  long maxRuns = -1;
  std::vector<Bytes> corpus;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "-max_total_time=", 16) == 0) seconds = std::atof(argv[i] + 16);
    else if (std::strncmp(argv[i], "-runs=", 6) == 0) maxRuns = std::atol(argv[i] + 6);
    else if (argv[i][0] != '-') LoadFolder(argv[i], &corpus);
  }
  if (seconds < 0) seconds = maxRuns < 0 ? 10 : 1e9;  // -runs alone: bounded by the count
  if (corpus.empty()) corpus.emplace_back();
  for (const Bytes& input : corpus) Run(input);
  std::mt19937 random(20130819);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  long runs = 0;
  while ((maxRuns < 0 || runs < maxRuns) && std::chrono::steady_clock::now() < end) {
    for (int i = 0; i < 256 && (maxRuns < 0 || runs < maxRuns); ++i, ++runs)
      Run(Mutate(corpus, random));
  }
  std::printf("mutation driver: %zu corpus inputs, %ld mutated runs, no invariant broken\n",
              corpus.size(), runs);
  return 0;
}
