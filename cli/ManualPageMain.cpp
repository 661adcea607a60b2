// Writes vornex-cli(1) at build time: vornex-cli-manpage VERSION OUTPUT.
//
// A program of its own rather than a hidden command of vornex-cli: the page needs only the
// help texts and the table (nuv_cli), so it builds wherever they do, early in the build and
// without the toolkit backends that vornex-cli links, and vornex-cli's command line keeps no
// command that its own help does not show.
#include <cstdio>
#include <fstream>

#include "cli/ManualPage.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vornex-cli-manpage VERSION OUTPUT\n");
    return 2;
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out << nuv::cli::manualPage(argv[1]);
  out.close();
  if (!out) {
    std::fprintf(stderr, "vornex-cli-manpage: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
