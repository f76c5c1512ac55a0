// URL splitting never crashes and keeps its promises on any bytes: the host
// holds no "/" (nor ":" without the port), the host with port starts with the
// host, and the object name starts with "/" and is a tail of the input (or
// just "/").
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/url.h"

using namespace korvath;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string url(reinterpret_cast<const char*>(data), size);
  const Text host = UrlHost(url);
  const Text host_port = UrlHost(url, true);
  if (FindText(host, "/") > 0 || FindText(host_port, "/") > 0) std::abort();
  if (FindText(host, ":") > 0) std::abort();  // a trail byte may be ":"
  if (host_port.compare(0, host.size(), host) != 0) std::abort();
  (void)UrlPort(url);
  const Text path = UrlPath(url);
  if (path.empty() || path[0] != '/') std::abort();
  if (path != "/" &&
      (path.size() > url.size() || url.compare(url.size() - path.size(), path.size(), path) != 0)) {
    std::abort();
  }
  return 0;
}
