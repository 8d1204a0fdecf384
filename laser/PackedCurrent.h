// A current read whose reply carries both the nominal and the actual current comes to the window
// as one number, nominal + actual * 0.00001, each with two decimals and the actual below 1000 A.
#pragma once

#include <cmath>

struct TPackedCurrent {
  double Nominal;
  double Actual;
};

inline TPackedCurrent UnpackCurrent(double Value) {
  // Value * 100 is the nominal in cents plus actual / 1000. Cut off, not rounded (an actual of
  // 500 A or more would round the nominal up), with a margin far below the actual's resolution
  // for products that fall just short of a whole number (0.29 * 100 is 28.999...).
  const double cents = std::floor(Value * 100 + 1e-6);
  const double actualCents = std::round((Value * 100 - cents) * 100000);
  return {cents / 100, actualCents / 100};
}
