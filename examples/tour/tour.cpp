#include <cstdio>
#include "system/strings/string_id.h"
int main() { std::printf("%d\n", Yr::StringId("a") == Yr::StringId("a")); }
