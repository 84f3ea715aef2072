#include "system/math/math_const.h"

#include <limits>

namespace Yr {

// Constant-initialised: the record is valid before any static initialiser of the library runs.
const Constants gConst = {
    0.0f,                                  // zero
    1.0f,                                  // one
    -1.0f,                                 // minusOne
    1e-6f,                                 // epsilon
    1e-12f,                                // epsilonSq
    0.005f,                                // tolerance
    3.14159274f,                           // pi
    6.28318548f,                           // twoPi
    1.57079637f,                           // halfPi
    2.0f,                                  // two
    57.2957764f,                           // radToDeg
    0.0174532924f,                         // degToRad
    1000.0f,                               // thousand
    std::numeric_limits<float>::max(),     // floatMax
    std::numeric_limits<float>::min(),     // floatMin
};

}  // namespace Yr
