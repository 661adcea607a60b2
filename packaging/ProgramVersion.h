// The project's version in the programs: `PROGRAM --version` prints it. The windows' programs
// read no other argument.
#pragma once

#include <cstdio>
#include <cstring>

#ifndef NUV_VERSION
#error "NUV_VERSION comes from the top CMakeLists.txt through the nuv_version target"
#endif

namespace nuv {

inline constexpr const char* kPackageVersion = NUV_VERSION;

// True (having printed "PROGRAM VERSION") when the only argument is --version or -V.
[[nodiscard]] inline bool printedVersion(int argc, char** argv, const char* program) {
  if (argc != 2 || (std::strcmp(argv[1], "--version") != 0 && std::strcmp(argv[1], "-V") != 0))
    return false;
  std::printf("%s %s\n", program, kPackageVersion);
  return true;
}

}  // namespace nuv
