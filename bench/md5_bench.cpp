// Throughput of the plug-in's file digest (FileMD5Hex: 16384-byte reads into OpenSSL's
// MD5, the same cross-built libcrypto the .asi links) on one file, under Wine.
//
//   md5_bench <file> [rounds]     prints "md5_bench bytes=<n> ms=<median> digest=<hex>"
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "update/digest.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: md5_bench <file> [rounds]\n");
    return 2;
  }
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExA(argv[1], GetFileExInfoStandard, &attributes)) {
    std::fprintf(stderr, "md5_bench: cannot read %s\n", argv[1]);
    return 1;
  }
  const unsigned long long bytes =
      (static_cast<unsigned long long>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
  LARGE_INTEGER frequency, start, stop;
  QueryPerformanceFrequency(&frequency);
  char digest[kHexDigestSize] = "";
  FileMD5Hex(argv[1], digest);  // the file in the page cache, as md5sum gets it too
  std::vector<double> ms;
  for (int i = 0; i < rounds; ++i) {
    QueryPerformanceCounter(&start);
    const bool read = FileMD5Hex(argv[1], digest);
    QueryPerformanceCounter(&stop);
    if (!read) return 1;
    ms.push_back(1000.0 * static_cast<double>(stop.QuadPart - start.QuadPart) /
                 static_cast<double>(frequency.QuadPart));
  }
  std::sort(ms.begin(), ms.end());
  std::printf("md5_bench bytes=%llu ms=%.2f digest=%s\n", bytes, ms[ms.size() / 2], digest);
  return 0;
}
