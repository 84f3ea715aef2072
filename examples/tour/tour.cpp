// yr_tour: walks the start-up road of an application that uses the Yr system library and
// prints what happens at each step.
#include "examples/tour/tour.h"

int main(int argc, char** argv) {
  std::printf("Yr system library tour\n");
  // Each section builds on the ones before it; add new sections in start-up order.
  Tour::Memory(argc, argv);
  Tour::Strings(argc, argv);
  Tour::Options(argc, argv);
  Tour::Debug(argc, argv);
  Tour::Files(argc, argv);
  Tour::Heaps(argc, argv);
  Tour::Threads(argc, argv);
  Tour::Diag(argc, argv);
  Tour::LiveUpdate(argc, argv);
  Tour::MemoryFinish();
  std::printf("\nTour finished.\n");
  return 0;
}
