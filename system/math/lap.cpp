#include "system/math/lap.h"

#include <algorithm>
#include <cmath>

#include "system/math/math_const.h"
#include "system/memory/allocator.h"

namespace Yr {
namespace Lap {

namespace {

// Reduced costs within this of zero are tight; column minima within it are not subtracted.
constexpr float kTight = 1e-5f;
// Slack of a column the search has not reached yet.
constexpr float kUnreached = 1e30f;
// BruteForce searches problems up to this size.
constexpr int kBruteForceMax = 4;
// Indices are bytes whose top bit means "none", so 127 rows and columns at most.
constexpr uint8_t kNoneBit = 0x80;

// The scratch record of each thread; ending a thread does not free it (ThreadDone does).
thread_local ThreadData* tThreadData = nullptr;

bool IsNone(uint8_t index) { return (index & kNoneBit) != 0; }

// tol(x): relative above 1, absolute below.
float Tolerance(float x) { return x > 1.0f ? x * kTight : kTight; }

// A byte size for the allocator: sizes past 32 bits become the largest size, which fails.
unsigned BlockBytes(uint64_t bytes) {
  if (bytes > UINT32_MAX) return UINT32_MAX;
  return bytes == 0 ? 1u : static_cast<unsigned>(bytes);
}

// Problem sizes travel as char: read them as signed bytes on every platform.
int SizeOf(char n) { return static_cast<signed char>(n); }

// Mode 1 asks for the greatest total: every entry c becomes M − c for the largest entry M.
float InvertForGreatest(float* cost, int count) {
  const float largest = *std::max_element(cost, cost + count);
  for (int k = 0; k < count; ++k) cost[k] = largest - cost[k];
  return largest;
}

void FreeBlock(void* block) {
  if (block != nullptr) Detail::Free(block);
}

void FreeRecord(ThreadData* d) {
  FreeBlock(d->costBuffer);
  FreeBlock(d->resultBuffer);
  FreeBlock(d->byteBlock);
  FreeBlock(d->floatBlock);
  Detail::Free(d);
}

}  // namespace

void ThreadInit(unsigned maxRows, unsigned maxCols) {
  ThreadDone();
  auto* d = static_cast<ThreadData*>(Detail::Allocate(sizeof(ThreadData)));
  if (d == nullptr) return;
  const uint64_t rows = maxRows, cols = maxCols;
  d->maxRows = maxRows;
  d->maxCols = maxCols;
  d->costBuffer = static_cast<float*>(Detail::Allocate(BlockBytes(rows * cols * sizeof(float))));
  d->resultBuffer = static_cast<uint8_t*>(Detail::Allocate(BlockBytes(rows)));
  d->byteBlock = static_cast<uint8_t*>(Detail::Allocate(BlockBytes(2 * rows + 3 * cols)));
  d->floatBlock = static_cast<float*>(Detail::Allocate(BlockBytes((rows + 3 * cols) * sizeof(float))));
  if (d->costBuffer == nullptr || d->resultBuffer == nullptr || d->byteBlock == nullptr ||
      d->floatBlock == nullptr) {
    FreeRecord(d);  // only a hook refuses; the default allocator stops the process instead
    return;
  }
  d->rowCol = d->byteBlock;
  d->queue = d->rowCol + maxRows;
  d->slackRow = d->queue + maxRows;
  d->colRow = d->slackRow + maxCols;
  d->pathRow = d->colRow + maxCols;
  d->rowDual = d->floatBlock;
  d->colDual = d->rowDual + maxRows;
  d->colOffset = d->colDual + maxCols;
  d->slack = d->colOffset + maxCols;
  tThreadData = d;
}

void ThreadDone() {
  if (tThreadData == nullptr) return;
  FreeRecord(tThreadData);
  tThreadData = nullptr;
}

ThreadData* GetThreadData() { return tThreadData; }

float Hungarian(char* result, float* cost, char rowCount, char colCount, int mode) {
  ThreadData* d = tThreadData;
  const int rows = SizeOf(rowCount), cols = SizeOf(colCount);
  // More rows than columns leave a row that no search can place: the search would never end.
  if (d == nullptr || rows < 0 || rows > cols || unsigned(rows) > d->maxRows || unsigned(cols) > d->maxCols)
    return gConst.floatMin;
  if (rows == 0) return 0.0f;

  uint8_t* const rowCol = d->rowCol;
  uint8_t* const queue = d->queue;
  uint8_t* const slackRow = d->slackRow;
  uint8_t* const colRow = d->colRow;
  uint8_t* const pathRow = d->pathRow;
  float* const u = d->rowDual;
  float* const v = d->colDual;
  float* const offset = d->colOffset;
  float* const slack = d->slack;
  const auto c = [cost, cols](int i, int j) -> float& { return cost[i * cols + j]; };

  const float largest = mode == 1 ? InvertForGreatest(cost, rows * cols) : 0.0f;

  // Column reduction: a square problem starts with a zero in every column.
  for (int j = 0; j < cols; ++j) {
    offset[j] = 0.0f;
    if (rows != cols) continue;
    float least = c(0, j);
    for (int i = 1; i < rows; ++i) least = std::min(least, c(i, j));
    if (std::fabs(least) > kTight) {
      offset[j] = least;
      for (int i = 0; i < rows; ++i) c(i, j) -= least;
    }
  }
  for (int j = 0; j < cols; ++j) {
    colRow[j] = kNoAssignment;
    pathRow[j] = kNoAssignment;
    slackRow[j] = 0;
    v[j] = 0.0f;
    slack[j] = kUnreached;
  }

  // Row reduction and greedy start: each row takes the first free column of its least cost.
  int freeRows = 0;
  for (int i = 0; i < rows; ++i) {
    const float* row = &c(i, 0);
    const float least = *std::min_element(row, row + cols);
    u[i] = least;
    rowCol[i] = kNoAssignment;
    for (int j = 0; j < cols; ++j) {
      if (row[j] == least && IsNone(colRow[j])) {
        rowCol[i] = uint8_t(j);
        colRow[j] = uint8_t(i);
        break;
      }
    }
    if (IsNone(rowCol[i])) queue[freeRows++] = uint8_t(i);
  }

  // One augmenting path per row left free by the greedy start; all free rows are roots.
  int roots = freeRows;
  for (int round = 0; round < freeRows; ++round) {
    int head = 0, tail = roots;
    int endRow = -1, endCol = -1;
    for (;;) {
      // Grow the search tree from every queued row along tight edges; record the least
      // reduced cost into every column not yet in the tree.
      while (head < tail && endCol < 0) {
        const int g = queue[head++];
        const float* row = &c(g, 0);
        const float ug = u[g];
        for (int j = 0; j < cols; ++j) {
          if (slack[j] == 0.0f) continue;
          const float r = row[j] - ug + v[j];
          if (!(r < slack[j])) continue;
          if (std::fabs(r) < kTight) {
            if (IsNone(colRow[j])) {
              endRow = g;
              endCol = j;
              break;
            }
            slack[j] = 0.0f;
            pathRow[j] = uint8_t(g);
            queue[tail++] = colRow[j];
          } else {
            slack[j] = r;
            slackRow[j] = uint8_t(g);
          }
        }
      }
      if (endCol >= 0) break;

      // No tight edge left: move the duals by the least slack, which makes at least one more
      // column tight.
      float m = kUnreached;
      for (int j = 0; j < cols; ++j)
        if (slack[j] != 0.0f) m = std::min(m, slack[j]);
      // Nothing reachable (non-finite costs): the search cannot end, so there is no solution.
      if (!(m < kUnreached)) return gConst.floatMin;
      for (int k = 0; k < tail; ++k) u[queue[k]] += m;
      for (int j = 0; j < cols; ++j) {
        if (slack[j] == 0.0f) {
          v[j] += m;
          continue;
        }
        slack[j] -= m;
        if (slack[j] >= kTight) continue;
        slack[j] = 0.0f;
        const int g = slackRow[j];
        if (IsNone(colRow[j])) {
          for (int k = j + 1; k < cols; ++k)
            if (slack[k] == 0.0f) v[k] += m;
          endRow = g;
          endCol = j;
          break;
        }
        pathRow[j] = uint8_t(g);
        queue[tail++] = colRow[j];
      }
      if (endCol >= 0) break;
    }

    // Augment: flip the assignments along the tree path back to a root.
    for (int g = endRow, j = endCol;;) {
      const uint8_t k = rowCol[g];
      rowCol[g] = uint8_t(j);
      colRow[j] = uint8_t(g);
      if (IsNone(k)) break;
      j = k;
      g = pathRow[k];
    }

    if (round + 1 < freeRows) {
      for (int j = 0; j < cols; ++j) {
        pathRow[j] = kNoAssignment;
        slack[j] = kUnreached;
      }
      roots = 0;
      for (int i = 0; i < rows; ++i)
        if (IsNone(rowCol[i])) queue[roots++] = uint8_t(i);
    }
  }

  // Check the solution: dual feasible, every row on a tight edge, few enough raised columns.
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j)
      if (!(c(i, j) - u[i] + v[j] >= -Tolerance(c(i, j)))) return gConst.floatMin;
    const uint8_t g = rowCol[i];
    if (IsNone(g) || !(std::fabs(c(i, g) - (u[i] - v[g])) <= Tolerance(c(i, g)))) return gConst.floatMin;
  }
  int raised = 0;
  for (int j = 0; j < cols; ++j) raised += v[j] != 0.0f;
  if (raised > rows) return gConst.floatMin;

  float total = 0.0f;
  for (int i = 0; i < rows; ++i) {
    const int j = rowCol[i];
    result[i] = static_cast<char>(j);
    const float entry = c(i, j) + offset[j];
    total += mode == 1 ? largest - entry : entry;
  }
  return total;
}

float BruteForce(char* result, float* cost, char rowCount, char colCount, int mode) {
  const int rows = SizeOf(rowCount), cols = SizeOf(colCount);
  if (rows <= 0) return 0.0f;
  if (rows > cols) return gConst.floatMin;  // no complete assignment exists
  if (rows > kBruteForceMax || cols > kBruteForceMax) {
    float diagonal = 0.0f;
    for (int i = 0; i < rows; ++i) {
      result[i] = static_cast<char>(i);
      diagonal += cost[i * cols + i];
    }
    return diagonal;
  }
  const float largest = mode == 1 ? InvertForGreatest(cost, rows * cols) : 0.0f;

  // Depth-first over assignments in lexicographic order; the first complete one is always
  // kept, so the best assignment is written even when no total is below the start value.
  int choice[kBruteForceMax], best[kBruteForceMax];
  float bestTotal = kUnreached;
  bool found = false;
  unsigned used = 0;
  int depth = 0;
  choice[0] = -1;
  while (depth >= 0) {
    if (choice[depth] >= 0) used &= ~(1u << choice[depth]);
    int j = choice[depth] + 1;
    while (j < cols && (used & (1u << j))) ++j;
    if (j == cols) {
      --depth;
      continue;
    }
    choice[depth] = j;
    used |= 1u << j;
    if (depth + 1 < rows) {
      choice[++depth] = -1;
      continue;
    }
    float total = 0.0f;
    for (int i = 0; i < rows; ++i) total += cost[i * cols + choice[i]];
    if (!found || total < bestTotal) {
      found = true;
      bestTotal = total;
      std::copy(choice, choice + rows, best);
    }
  }

  float total = 0.0f;
  for (int i = 0; i < rows; ++i) {
    result[i] = static_cast<char>(best[i]);
    const float entry = cost[i * cols + best[i]];
    total += mode == 1 ? largest - entry : entry;
  }
  return total;
}

}  // namespace Lap
}  // namespace Yr
