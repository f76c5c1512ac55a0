// Keys no one else can guess: the aria2 RPC secret, the stand-in page's
// key. A web page on this machine must not be able to predict either.
#pragma once

#include <string>

namespace korvath {

// 128 random bits from the kernel as 32 lowercase hex digits; "" in the
// unlikely case the kernel gives none.
std::string RandomHexKey();

}  // namespace korvath
