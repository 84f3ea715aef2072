// Lzo: whole-block compression in the LZO1X format.
//
//   Yr::Lzo::Init();                                          // once, before first use
//   std::vector<uint8_t> packed(Yr::Lzo::MaxCompressedSize(n));
//   unsigned int packedSize = Yr::Lzo::Compress(packed.data(), data, n);
//   ...
//   unsigned int size;                                        // untrusted input:
//   if (!Yr::Lzo::Decompress(out, capacity, packed.data(), packedSize, &size)) reject();
//
// The compressed form is the plain LZO1X stream: no header, length or checksum of ours, and
// any LZO1X decoder reads it. Callers keep the decompressed size themselves.
//
// Threads: Compress uses one static work memory block, so it must not run on two threads at
// once; callers that compress from several threads serialise the calls. Both Decompress
// forms use no shared state and may run on any thread.
//
// Untrusted input: the three-argument Decompress is the fast decoder that checks nothing. It
// is only for streams this process made with Compress, decoded into a buffer of the
// uncompressed size; a corrupt or hostile stream makes it write past the buffer. Everything
// else (files, network, anything a user can edit) must go through the five-argument form,
// which never reads or writes outside the two buffers.
#pragma once

#include "system/platform/export.h"

namespace Yr {
namespace Lzo {

// Runs the compression library's start-up self-check; true when it passes.
YR_API bool Init();

// Destination bytes Compress may need for srcLen input bytes (the format's worst case).
constexpr unsigned int MaxCompressedSize(unsigned int srcLen) { return srcLen + srcLen / 16 + 64 + 3; }

// Compresses srcLen bytes at src into dst, which holds at least MaxCompressedSize(srcLen)
// bytes, and returns the number of bytes written. Never fails; not reentrant (see above).
YR_API unsigned int Compress(void* dst, const void* src, unsigned int srcLen);

// Trusted streams only: decodes srcLen bytes at src into dst, which must be large enough
// for the whole decoded block, and returns the number of bytes written.
YR_API unsigned int Decompress(void* dst, const void* src, unsigned int srcLen);

// Any stream: decodes srcLen bytes at src into at most dstCapacity bytes at dst. True and
// the decoded size in *written (when written is not null) for a whole, well-formed stream;
// false for a corrupt or truncated stream, one with bytes after its end, or one that decodes
// to more than dstCapacity bytes. After a failure dst may hold part of the output.
YR_API bool Decompress(void* dst, unsigned int dstCapacity, const void* src, unsigned int srcLen,
                       unsigned int* written);

}  // namespace Lzo
}  // namespace Yr
