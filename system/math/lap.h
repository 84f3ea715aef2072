// Yr::Lap: small linear assignment problems. Given a rows × cols cost matrix (rows ≤ cols ≤
// 127), assign every row a different column so that the total cost is least, or greatest
// with mode 1.
//
//   Yr::Lap::ThreadInit(64, 64);                  // once per thread: the solver's scratch
//   char assignment[64];
//   float total = Yr::Lap::Hungarian(assignment, costs, rows, cols, 0);
//   if (total == Yr::gConst.floatMin) { ... }     // no consistent solution found
//   Yr::Lap::ThreadDone();                        // before the thread ends
//
// The cost matrix is row-major (element (i, j) at i·cols + j) and both solvers overwrite it
// as they work. The result holds one column index per row. Hungarian runs on scratch arrays
// of the calling thread, sized once by ThreadInit, and allocates nothing; any number of
// threads may solve at once, each with its own scratch. BruteForce searches every
// assignment of up to 4 × 4 and needs no scratch. Both return the total of the original
// costs of the assignment they wrote, and gConst.floatMin, writing nothing, when the problem
// has more rows than columns (or Hungarian has no scratch large enough).
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Yr {
namespace Lap {

// Byte entries with the top bit set mean "no assignment".
constexpr uint8_t kNoAssignment = 255;

// One thread's scratch: four allocations (the caller's cost and result buffers, one block of
// byte arrays, one of float arrays) and pointers into the last two, in this order.
struct ThreadData {
  unsigned maxRows;
  unsigned maxCols;
  float* costBuffer;       // maxRows·maxCols floats for the caller; the solvers never touch it
  uint8_t* resultBuffer;   // maxRows bytes for the caller; the solvers never touch it
  uint8_t* byteBlock;      // 2·maxRows + 3·maxCols bytes: rowCol .. pathRow
  float* floatBlock;       // maxRows + 3·maxCols floats: rowDual .. slack
  uint8_t* rowCol;         // [maxRows] column of each row
  uint8_t* queue;          // [maxRows] free rows, then the rows of the search tree
  uint8_t* slackRow;       // [maxCols] row that gave each column its slack
  uint8_t* colRow;         // [maxCols] row of each column
  uint8_t* pathRow;        // [maxCols] predecessor row on the search tree
  float* rowDual;          // [maxRows] u
  float* colDual;          // [maxCols] v
  float* colOffset;        // [maxCols] amount taken off each column before the search
  float* slack;            // [maxCols] least reduced cost into each column; 0 = in the tree
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ThreadData) == 60, "32-bit scratch record: two counts and thirteen pointers");
#endif
static_assert(sizeof(ThreadData) == 2 * sizeof(unsigned) + 13 * sizeof(void*), "no padding in the record");

// Gives the calling thread scratch for problems of up to maxRows × maxCols (replacing any it
// had). Sizes whose bytes do not fit 32 bits are asked for as the largest size, so that the
// request fails rather than wraps.
YR_API void ThreadInit(unsigned maxRows, unsigned maxCols);
// Frees the calling thread's scratch; nothing when it has none.
YR_API void ThreadDone();
// The calling thread's scratch, or null.
YR_API ThreadData* GetThreadData();

// Optimal assignment by shortest augmenting paths on the thread's scratch. Returns the
// total, or gConst.floatMin (result untouched) without scratch, for a problem larger than the
// scratch or with more rows than columns, or when the solution fails its check (possible
// with extreme or non-finite costs).
YR_API float Hungarian(char* result, float* cost, char rows, char cols, int mode);
// Exhaustive search for rows, cols ≤ 4: the first optimum in lexicographic order of the
// columns of row 0, row 1, .... Larger problems get the identity assignment and the sum of
// its costs; more rows than columns give gConst.floatMin.
YR_API float BruteForce(char* result, float* cost, char rows, char cols, int mode);

}  // namespace Lap
}  // namespace Yr
