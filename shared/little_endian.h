// Little-endian integers in byte buffers: how every integer crosses the control device (records,
// control-request layouts, the device socket's frames).
#ifndef FLOWSENTRY_SHARED_LITTLE_ENDIAN_H_
#define FLOWSENTRY_SHARED_LITTLE_ENDIAN_H_

#include <cstdint>
#include <vector>

namespace flowsentry {

// The `n`-byte (1 to 4) integer at `p`.
inline uint32_t LoadLe(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

inline void StoreLe(uint8_t* p, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint32_t LoadLe32(const uint8_t* p) { return LoadLe(p, 4); }
inline void StoreLe32(uint8_t* p, uint32_t v) { StoreLe(p, v, 4); }

inline void AppendLe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace flowsentry

#endif  // FLOWSENTRY_SHARED_LITTLE_ENDIAN_H_
