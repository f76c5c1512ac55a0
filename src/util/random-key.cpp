#include "util/random-key.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <fstream>

namespace korvath {

std::string RandomHexKey() {
  unsigned char random[16];
  std::size_t got = 0;
  while (got < sizeof random) {
    ssize_t n = ::getrandom(random + got, sizeof random - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  if (got < sizeof random) {
    std::ifstream urandom("/dev/urandom", std::ios::binary);
    urandom.read(reinterpret_cast<char*>(random), sizeof random);
    if (urandom.gcount() != static_cast<std::streamsize>(sizeof random)) return {};
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string key;
  for (unsigned char byte : random) {
    key += kHex[byte >> 4];
    key += kHex[byte & 15];
  }
  return key;
}

}  // namespace korvath
