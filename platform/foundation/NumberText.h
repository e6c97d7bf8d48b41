#pragma once
// Text forms of numbers shared by the value descriptions, plat::format and the JSON writer.
// Thread-safe (pure functions).

#include <string>

namespace plat::numtext {

// The shortest "%g"-style text that reads back as exactly `d` ("0.1", "100000", "1e+20",
// "-0", "inf", "-inf", "nan"); integral values have no ".0".
std::string shortestDouble(double d);

}  // namespace plat::numtext
