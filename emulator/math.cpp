// The approximate special functions of the PTX ISA. Each is computed in double precision
// and rounded once to single precision, which lies within every stated bound (ex2.approx
// and lg2.approx: 2 ulp over the full range for ex2, 2^-22 absolute or 2 ulp for lg2;
// rcp/rsqrt/div.approx: 1 ulp), with subnormal inputs and results kept (no .ftz).
// rcp.rn is correctly rounded: the double quotient rounds to the nearest single.
#include <cmath>

#include "emulator/ptx.h"

namespace kestrovane_emu {

float ex2_approx(float x) { return static_cast<float>(std::exp2(static_cast<double>(x))); }
float lg2_approx(float x) { return static_cast<float>(std::log2(static_cast<double>(x))); }
float rcp_approx(float x) { return static_cast<float>(1.0 / static_cast<double>(x)); }
float rsqrt_approx(float x) { return static_cast<float>(1.0 / std::sqrt(static_cast<double>(x))); }
float div_approx(float x, float y) { return static_cast<float>(static_cast<double>(x) / static_cast<double>(y)); }
// A double quotient of two singles rounds to the correctly rounded single (no double rounding
// error: 53 >= 2 * 24 + 2 bits).
float rcp_rn(float x) { return static_cast<float>(1.0 / static_cast<double>(x)); }

}  // namespace kestrovane_emu
