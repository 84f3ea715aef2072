// The assignment solvers: known answers, the scratch layout, failure results for problems
// they cannot solve, Hungarian against BruteForce and against enumeration, and threads that
// solve at the same time.
#include "system/math/lap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <thread>
#include <vector>

#include "system/math/math_const.h"
#include "tests/math/math_test_util.h"
#include "tests/memory/memory_test_helpers.h"

namespace {

using Yr::gConst;
namespace Lap = Yr::Lap;
using Matrix = std::vector<float>;
using Assignment = std::vector<int>;

// Scratch for the test's thread, released at the end of the scope.
struct Scratch {
  Scratch(unsigned rows, unsigned cols) { Lap::ThreadInit(rows, cols); }
  ~Scratch() { Lap::ThreadDone(); }
};

using Solver = float (*)(char*, float*, char, char, int);

struct Solution {
  float total;
  Assignment columns;
};

// Solves a copy of cost, so the caller's matrix keeps the original values.
Solution Solve(Solver solver, Matrix cost, int rows, int cols, int mode) {
  std::vector<char> result(size_t(rows) + 1, char(99));
  const float total = solver(result.data(), cost.data(), char(rows), char(cols), mode);
  return {total, Assignment(result.begin(), result.begin() + rows)};
}

float TotalOf(const Matrix& cost, int cols, const Assignment& a) {
  float total = 0;
  for (size_t i = 0; i < a.size(); ++i) total += cost[i * cols + a[i]];
  return total;
}

bool IsAssignment(const Assignment& a, int cols) {
  std::vector<bool> used(cols, false);
  for (int j : a) {
    if (j < 0 || j >= cols || used[j]) return false;
    used[j] = true;
  }
  return true;
}

// Every injective row -> column map in lexicographic order; the first optimum wins.
Solution Enumerate(const Matrix& cost, int rows, int cols, int mode) {
  std::vector<int> perm(cols);
  std::iota(perm.begin(), perm.end(), 0);
  Solution best{0, {}};
  do {
    const Assignment a(perm.begin(), perm.begin() + rows);
    const float total = TotalOf(cost, cols, a);
    if (best.columns.empty() || (mode == 1 ? total > best.total : total < best.total)) best = {total, a};
    // Skip the orders of the unused columns: they give the same rows' assignment.
    std::reverse(perm.begin() + rows, perm.end());
  } while (std::next_permutation(perm.begin(), perm.end()));
  return best;
}

Matrix RandomMatrix(YrMathTest::Random& random, int rows, int cols, bool fewValues) {
  Matrix m(size_t(rows) * cols);
  for (float& e : m) e = fewValues ? float(random.Next() % 4) : random.Uniform(-50, 100);
  return m;
}

TEST(LapTest, KnownThreeByThreeFromBothSolvers) {
  const Matrix cost = {4, 1, 3, 2, 0, 5, 3, 2, 2};
  Scratch scratch(3, 3);
  for (Solver solver : {Solver(Lap::Hungarian), Solver(Lap::BruteForce)}) {
    const Solution least = Solve(solver, cost, 3, 3, 0);
    EXPECT_FLOAT_EQ(least.total, 5.0f);
    EXPECT_EQ(least.columns, (Assignment{1, 0, 2}));
    const Solution greatest = Solve(solver, cost, 3, 3, 1);
    EXPECT_FLOAT_EQ(greatest.total, 11.0f) << "the greatest total of the original costs";
    EXPECT_EQ(greatest.columns, (Assignment{0, 2, 1}));
  }
  // Mode 1 works on M - c in place: the caller sees the changed matrix.
  Matrix inPlace = cost;
  char result[3];
  Lap::BruteForce(result, inPlace.data(), 3, 3, 1);
  EXPECT_EQ(inPlace, (Matrix{1, 4, 2, 3, 5, 0, 2, 3, 3}));
}

TEST(LapTest, WiderProblemsLeaveColumnsFreeWithoutColumnReduction) {
  Scratch scratch(2, 3);
  const Matrix cost = {5, 1, 9, 2, 3, 8};
  Matrix work = cost;
  char result[2];
  EXPECT_FLOAT_EQ(Lap::Hungarian(result, work.data(), 2, 3, 0), 3.0f);
  EXPECT_EQ(Assignment(result, result + 2), (Assignment{1, 0}));
  const Lap::ThreadData* d = Lap::GetThreadData();
  for (int j = 0; j < 3; ++j) EXPECT_EQ(d->colOffset[j], 0.0f);
  EXPECT_EQ(d->colRow[2], Lap::kNoAssignment);
  EXPECT_EQ(work, cost) << "a rectangular problem is not reduced in place";
}

TEST(LapTest, BruteForceFallsBackToIdentityAboveFourAndKeepsTheFirstOptimum) {
  YrMathTest::Random random(8);
  for (const auto& [rows, cols] : {std::pair{5, 5}, std::pair{2, 6}, std::pair{4, 7}}) {
    // Exactly sized, so a read past the matrix shows under the address sanitizer.
    std::vector<float> cost = RandomMatrix(random, rows, cols, false);
    float diagonal = 0;
    for (int i = 0; i < rows; ++i) diagonal += cost[i * cols + i];
    const Solution s = Solve(Lap::BruteForce, cost, rows, cols, 0);
    EXPECT_FLOAT_EQ(s.total, diagonal);
    Assignment identity(rows);
    std::iota(identity.begin(), identity.end(), 0);
    EXPECT_EQ(s.columns, identity);
  }
  const Solution flat = Solve(Lap::BruteForce, Matrix(16, 7.0f), 4, 4, 0);
  EXPECT_EQ(flat.columns, (Assignment{0, 1, 2, 3}));
  EXPECT_FLOAT_EQ(flat.total, 28.0f);
  // Totals too large to beat the search's start value still give an assignment.
  const Solution huge = Solve(Lap::BruteForce, Matrix(4, 1e30f), 2, 2, 0);
  EXPECT_EQ(huge.columns, (Assignment{0, 1}));
}

TEST(LapTest, UnsolvableProblemsFailWithoutWritingOrReading) {
  const Matrix cost(12, 1.0f);
  const struct {
    const char* name;
    unsigned maxRows, maxCols;  // 0, 0: no scratch
    int rows, cols;
    Solver solver;
  } cases[] = {
      {"hungarian, more rows than columns", 4, 4, 4, 3, Lap::Hungarian},
      {"hungarian, rows but no columns", 4, 4, 2, 0, Lap::Hungarian},
      {"hungarian without scratch", 0, 0, 2, 2, Lap::Hungarian},
      {"hungarian, more rows than the scratch", 2, 6, 3, 4, Lap::Hungarian},
      {"hungarian, more columns than the scratch", 4, 3, 3, 4, Lap::Hungarian},
      {"hungarian, negative size", 4, 4, -1, 3, Lap::Hungarian},
      {"brute force, more rows than columns", 0, 0, 4, 3, Lap::BruteForce},
      {"brute force, more rows than columns above four", 0, 0, 6, 2, Lap::BruteForce},
  };
  for (const auto& c : cases) {
    if (c.maxRows != 0) Lap::ThreadInit(c.maxRows, c.maxCols);
    for (int mode : {0, 1}) {
      Matrix work = cost;
      char result[8] = {9, 9, 9, 9, 9, 9, 9, 9};
      EXPECT_EQ(c.solver(result, work.data(), char(c.rows), char(c.cols), mode), gConst.floatMin) << c.name;
      EXPECT_TRUE(std::all_of(result, result + 8, [](char r) { return r == 9; })) << c.name;
    }
    Lap::ThreadDone();
  }

  // After ThreadDone the scratch is gone for Hungarian too.
  Lap::ThreadInit(3, 3);
  Lap::ThreadDone();
  EXPECT_EQ(Lap::GetThreadData(), nullptr);
  Matrix work = cost;
  char result[3];
  EXPECT_EQ(Lap::Hungarian(result, work.data(), 3, 3, 0), gConst.floatMin);

  // Empty problems touch neither the matrix nor the result.
  Scratch scratch(4, 4);
  for (int mode : {0, 1}) {
    EXPECT_EQ(Lap::Hungarian(nullptr, nullptr, 0, 0, mode), 0.0f);
    EXPECT_EQ(Lap::Hungarian(nullptr, nullptr, 0, 4, mode), 0.0f);
    EXPECT_EQ(Lap::BruteForce(nullptr, nullptr, 0, 3, mode), 0.0f);
  }
  // Costs that no search can reach fail instead of following unset links.
  Matrix unreachable = {1, 2, std::nanf(""), std::nanf("")};
  EXPECT_EQ(Lap::Hungarian(result, unreachable.data(), 2, 2, 0), gConst.floatMin);
}

TEST(LapTest, ScratchBlocksAreLaidOutInOrderAndOversizeRequestsFail) {
  EXPECT_EQ(Lap::GetThreadData(), nullptr);
  YrTest::RecordingHook hook;
  {
    YrTest::HookScope scope(&hook);
    Lap::ThreadInit(5, 7);
    Lap::ThreadInit(5, 7);  // replaces: the first record is freed
    Lap::ThreadDone();
  }
  ASSERT_EQ(hook.calls.size(), 10u);
  const unsigned expected[] = {sizeof(Lap::ThreadData), 5 * 7 * sizeof(float), 5, 2 * 5 + 3 * 7,
                               (5 + 3 * 7) * sizeof(float)};
  for (size_t k = 0; k < 10; ++k) {
    EXPECT_EQ(hook.calls[k].size, expected[k % 5]) << k;
    EXPECT_EQ(hook.calls[k].alignment, 16u);
  }
  EXPECT_EQ(hook.frees.size(), 10u);

  Lap::ThreadInit(5, 7);
  const Lap::ThreadData* d = Lap::GetThreadData();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->maxRows, 5u);
  EXPECT_EQ(d->maxCols, 7u);
  EXPECT_EQ(d->rowCol, d->byteBlock);
  EXPECT_EQ(d->queue, d->byteBlock + 5);
  EXPECT_EQ(d->slackRow, d->byteBlock + 10);
  EXPECT_EQ(d->colRow, d->byteBlock + 17);
  EXPECT_EQ(d->pathRow, d->byteBlock + 24);
  EXPECT_EQ(d->rowDual, d->floatBlock);
  EXPECT_EQ(d->colDual, d->floatBlock + 5);
  EXPECT_EQ(d->colOffset, d->floatBlock + 12);
  EXPECT_EQ(d->slack, d->floatBlock + 19);
  Lap::ThreadDone();

  // A refused record leaves no data.
  {
    YrTest::RecordingHook refusing;
    refusing.refuse = true;
    YrTest::HookScope scope(&refusing);
    Lap::ThreadInit(3, 3);
    EXPECT_EQ(Lap::GetThreadData(), nullptr);
    EXPECT_EQ(refusing.calls.size(), 1u);
  }
  // Sizes past 32 bits are asked for as the largest size: the record is served, the blocks
  // refused, and nothing is left behind.
  struct RefuseAfterRecord : YrTest::RecordingHook {
    void* AlignedMalloc(unsigned size, unsigned alignment) override {
      refuse = !calls.empty();
      return RecordingHook::AlignedMalloc(size, alignment);
    }
  };
  for (const auto& [rows, cols] : {std::pair{1u << 15, 1u << 15}, std::pair{1u << 30, 1u}}) {
    RefuseAfterRecord hookThatRefuses;
    {
      YrTest::HookScope scope(&hookThatRefuses);
      Lap::ThreadInit(rows, cols);
      EXPECT_EQ(Lap::GetThreadData(), nullptr);
    }
    ASSERT_EQ(hookThatRefuses.calls.size(), 5u);
    EXPECT_EQ(hookThatRefuses.calls[rows > cols ? 4 : 1].size, UINT32_MAX);
    EXPECT_EQ(hookThatRefuses.frees, std::vector<void*>{hookThatRefuses.calls[0].block});
  }
}

TEST(LapTest, HungarianMatchesBruteForceOnSmallProblems) {
  YrMathTest::Random random(9);
  Scratch scratch(4, 4);
  for (int k = 0; k < 6000; ++k) {
    const int cols = 1 + int(random.Next() % 4), rows = 1 + int(random.Next() % cols);
    const int mode = int(random.Next() % 2);
    const Matrix cost = RandomMatrix(random, rows, cols, k % 3 == 0);  // every third: many ties
    const Solution brute = Solve(Lap::BruteForce, cost, rows, cols, mode);
    const Solution reference = Enumerate(cost, rows, cols, mode);
    EXPECT_EQ(brute.columns, reference.columns) << k;
    EXPECT_NEAR(brute.total, reference.total, 1e-4f) << k;

    const Solution hungarian = Solve(Lap::Hungarian, cost, rows, cols, mode);
    ASSERT_NE(hungarian.total, gConst.floatMin) << k;
    ASSERT_TRUE(IsAssignment(hungarian.columns, cols)) << k;
    EXPECT_NEAR(hungarian.total, brute.total, 1e-3f) << k;
    EXPECT_NEAR(TotalOf(cost, cols, hungarian.columns), brute.total, 1e-3f) << k;
  }
}

TEST(LapTest, HungarianIsOptimalOnLargerProblems) {
  // Against enumeration up to 8 columns; above that, no swap of two rows' columns and no move
  // of a row to a free column may improve the total.
  YrMathTest::Random random(10);
  Scratch scratch(127, 127);
  for (int k = 0; k < 300; ++k) {
    const int cols = 1 + int(random.Next() % (k < 200 ? 8 : 127));
    const int rows = 1 + int(random.Next() % cols);
    const int mode = int(random.Next() % 2);
    const Matrix cost = RandomMatrix(random, rows, cols, k % 2 == 0);
    const Solution s = Solve(Lap::Hungarian, cost, rows, cols, mode);
    ASSERT_NE(s.total, gConst.floatMin) << k;
    ASSERT_TRUE(IsAssignment(s.columns, cols)) << k;
    const float sign = mode == 1 ? -1.0f : 1.0f;
    const float total = TotalOf(cost, cols, s.columns);
    EXPECT_NEAR(s.total, total, 1e-4f * (100 + std::fabs(total))) << k;
    if (cols <= 8) {
      EXPECT_NEAR(total, Enumerate(cost, rows, cols, mode).total, 1e-3f) << k;
      continue;
    }
    std::vector<int> owner(cols, -1);
    for (int i = 0; i < rows; ++i) owner[s.columns[i]] = i;
    const auto at = [&](int i, int j) { return sign * cost[i * cols + j]; };
    for (int a = 0; a < rows; ++a) {
      const int ja = s.columns[a];
      for (int j = 0; j < cols; ++j) {
        const int b = owner[j];
        const float change = b < 0 ? at(a, j) - at(a, ja) : at(a, j) + at(b, ja) - at(a, ja) - at(b, j);
        EXPECT_GE(change, -1e-3f) << k << " row " << a << " column " << j;
      }
    }
  }
}

TEST(LapTest, ThreadsSolveAtOnceWithTheirOwnScratch) {
  // Each thread solves its own problems; the answers must be those of one thread alone.
  constexpr int kThreads = 4, kProblems = 150;
  struct Problem {
    Matrix cost;
    int rows, cols, mode;
    Solution expected;
  };
  std::vector<std::vector<Problem>> work(kThreads);
  YrMathTest::Random random(11);
  {
    Scratch scratch(127, 127);
    for (int t = 0; t < kThreads; ++t) {
      for (int k = 0; k < kProblems; ++k) {
        const int cols = 2 + int(random.Next() % (20 + 30 * t)), rows = 1 + int(random.Next() % cols);
        Problem p{RandomMatrix(random, rows, cols, k % 2 == 0), rows, cols, int(random.Next() % 2), {}};
        p.expected = Solve(Lap::Hungarian, p.cost, rows, cols, p.mode);
        work[t].push_back(std::move(p));
      }
    }
  }
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      if (Lap::GetThreadData() != nullptr) ++mismatches[t];
      Lap::ThreadInit(unsigned(21 + 30 * t), unsigned(21 + 30 * t));
      for (int pass = 0; pass < 3; ++pass) {
        for (const Problem& p : work[t]) {
          const Solution s = Solve(Lap::Hungarian, p.cost, p.rows, p.cols, p.mode);
          if (s.total != p.expected.total || s.columns != p.expected.columns) ++mismatches[t];
        }
      }
      Lap::ThreadDone();
    });
  }
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
