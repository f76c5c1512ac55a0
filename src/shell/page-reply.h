// What the windows answer their pages' messages with, as JSON text.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace korvath {

// Paths on this machine need not be UTF-8 (a folder named under another
// encoding); their bytes that are not become U+FFFD, where a plain dump would
// throw inside the page's callback and end the program.
inline std::string PageReplyText(const nlohmann::json& reply) {
  return reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace korvath
