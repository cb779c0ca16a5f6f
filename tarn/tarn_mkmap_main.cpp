// tarn-mkmap - write a TARN map file from a list of IPv4 addresses and CIDR blocks.
//
// Usage: tarn-mkmap OUTPUT [INPUT]   (INPUT defaults to standard input; "-" names it too)

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tarn/tarn_map_writer.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    (void)std::fprintf(stderr,
                       "Usage: tarn-mkmap OUTPUT [INPUT]\n"
                       "Reads one IPv4 address or CIDR block per line (default: standard input)\n"
                       "and writes the TARN map that lists them to OUTPUT.\n");
    return 2;
  }
  std::FILE* input = stdin;
  if (argc == 3 && std::strcmp(argv[2], "-") != 0) {
    input = std::fopen(argv[2], "r");
    if (input == nullptr) {
      (void)std::fprintf(stderr, "tarn-mkmap: cannot open %s: %s\n", argv[2], std::strerror(errno));
      return 1;
    }
  }
  const int status = korvex::tarn_mkmap_run(input, argv[1], stderr);
  if (input != stdin && std::fclose(input) != 0 && status == 0) return 1;
  return status;
}
