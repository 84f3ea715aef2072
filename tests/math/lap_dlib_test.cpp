// Hungarian against dlib's max_cost_assignment on square and rectangular problems up to 127
// columns. dlib maximises integer costs of a square matrix: least-cost problems are negated,
// float costs scaled to integers, and missing rows padded with zeros (a zero row changes no
// total, so the real rows' optimum is the same).
#include <gtest/gtest.h>

#include <dlib/optimization/max_cost_assignment.h>

#include <cmath>
#include <vector>

#include "system/math/lap.h"
#include "system/math/math_const.h"
#include "tests/math/math_test_util.h"

namespace {

namespace Lap = Yr::Lap;

// dlib's best total of the original costs (greatest for mode 1, least otherwise).
double PeerTotal(const std::vector<long>& cost, int rows, int cols, int mode) {
  dlib::matrix<long> m(cols, cols);
  m = 0;
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) m(i, j) = mode == 1 ? cost[i * cols + j] : -cost[i * cols + j];
  const std::vector<long> assignment = dlib::max_cost_assignment(m);
  double total = 0;
  for (int i = 0; i < rows; ++i) total += double(cost[i * cols + assignment[i]]);
  return total;
}

TEST(LapPeerTest, HungarianMatchesTheMaxCostAssignmentOfDlib) {
  YrMathTest::Random random(12);
  Lap::ThreadInit(127, 127);
  for (int k = 0; k < 240; ++k) {
    const int cols = 1 + int(random.Next() % 127);
    const int rows = k % 2 == 0 ? cols : 1 + int(random.Next() % cols);
    const int mode = int(random.Next() % 2);
    // Integer costs are exact in float, so the totals must agree exactly; scaled floats
    // agree within rounding.
    const bool integers = k % 4 < 2;
    const unsigned range = k % 8 == 0 ? 5 : 100000;  // few distinct values: many ties
    std::vector<long> peerCost(size_t(rows) * cols);
    std::vector<float> cost(peerCost.size());
    for (size_t e = 0; e < cost.size(); ++e) {
      if (integers) {
        peerCost[e] = long(random.Next() % range);
        cost[e] = float(peerCost[e]);
      } else {
        cost[e] = random.Uniform(-1, 1);
        peerCost[e] = std::lround(double(cost[e]) * 1e6);
      }
    }
    const std::vector<float> original = cost;
    std::vector<char> result(rows);
    const float ours = Lap::Hungarian(result.data(), cost.data(), char(rows), char(cols), mode);
    ASSERT_NE(ours, Yr::gConst.floatMin) << k;
    double oursOriginal = 0;
    for (int i = 0; i < rows; ++i) oursOriginal += original[i * cols + result[i]];
    const double peer = PeerTotal(peerCost, rows, cols, mode);
    if (integers) {
      EXPECT_EQ(oursOriginal, peer) << k << ": " << rows << "x" << cols << " mode " << mode;
      EXPECT_EQ(double(ours), peer) << k;
    } else {
      EXPECT_NEAR(oursOriginal, peer * 1e-6, 1e-4 * rows) << k << ": " << rows << "x" << cols << " mode " << mode;
      EXPECT_NEAR(ours, oursOriginal, 1e-4 * rows) << k;
    }
  }
  Lap::ThreadDone();
}

}  // namespace
