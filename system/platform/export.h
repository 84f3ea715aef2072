// YR_API marks the public interface of libyrsystem.so. The library is built with hidden
// visibility, so only what carries this macro can be linked against.
#pragma once

#define YR_API __attribute__((visibility("default")))
