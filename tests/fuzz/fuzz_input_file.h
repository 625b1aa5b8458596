#pragma once
// The settings readers take a path, not a buffer, so each fuzz input is written to a file in memory
// (/dev/shm, else the temporary directory) before the reader opens it. One file per process and name, so
// parallel fuzzing jobs (-jobs=N) never read each other's input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace ormelin_fuzz {

inline std::string InputFilePath(const char *name) {
  const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/ormelin_fuzz_" + std::to_string(getpid()) + "_" + name;
}

// Replaces the file's content with the input; aborts when it cannot, since every later run would then test
// the reader's "cannot open" path only and the fuzzing would silently mean nothing.
inline void WriteInputFile(const std::string &path, const std::uint8_t *data, std::size_t size) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || (size > 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
    std::fprintf(stderr, "fuzz: cannot write the input file %s\n", path.c_str());
    std::abort();
  }
}

} // namespace ormelin_fuzz
