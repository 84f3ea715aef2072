// A small library the symbol tests load, unload and load again; built twice, with one
// function name each, so that both copies lay their code out alike.
namespace YrProbe {

__attribute__((noinline)) int YR_PROBE_NAME(int value) {
  return value * 5 + 3;
}

}  // namespace YrProbe

extern "C" __attribute__((visibility("default"))) void* YrProbeFunction() {
  return reinterpret_cast<void*>(&YrProbe::YR_PROBE_NAME);
}
