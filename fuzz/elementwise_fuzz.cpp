// The element-wise span loop on arbitrary operations, element types, shapes,
// scalars, offsets, strides, span counts and aliasing, against the naive
// model: the same elements, totals and counts, and never a touch outside an
// operand (each record is its own heap block under AddressSanitizer).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tests/userdata/elementwise_reference.h"

namespace ref = elementwise_reference;

namespace {

struct reader {
  const uint8_t *p;
  size_t n;
  uint8_t byte() {
    if (!n) return 0;
    n--;
    return *p++;
  }
  int64_t signed_small() { return static_cast<int8_t>(byte()); }
  int64_t word() {
    int64_t v = 0;
    for (int i = 0; i < 8; i++) v = v << 8 | byte();
    return v;
  }
};

const uint8_t types[] = {utype_u8, utype_i16, utype_i32, utype_i64, utype_f64};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  reader in{data, size};
  uint8_t type = types[in.byte() % 5];
  auto op = static_cast<ud_op>(in.byte() % ud_op_count);
  if (!ud_op_accepts(op, type)) return 0;
  uint32_t w = 1 + in.byte() % 48, h = 1 + in.byte() % 4;
  ref::records r;
  ref::call_shape k{op, r.add(type, w, h), -1, -1, false, {}, {}};
  uint8_t form = in.byte();
  switch (form % 4) {
    case 0: k.b = k.a; break;
    case 1: k.b = r.add(type, w, h); break;
    case 2: k.b = r.add(type, 1 + in.byte() % 64, 1); break;
    default: k.scalar_left = form & 4; break;
  }
  switch ((form >> 3) % 3) {
    case 0: k.dest = k.a; break;
    case 1: k.dest = k.b >= 0 && r.at(k.b)->width == w && r.at(k.b)->height == h ? k.b : k.a; break;
    default: k.dest = r.add(type, w, h); break;
  }
  int64_t raw = in.word();
  k.scalar.integer = form & 0x40;
  k.scalar.i = raw;
  memcpy(&k.scalar.f, &raw, 8);
  k.s.off = in.signed_small(), k.s.b_off = in.signed_small();
  k.s.span = form & 0x80 ? 0x1000000 : in.signed_small();
  k.s.stride = in.signed_small() % 16, k.s.b_stride = in.signed_small() % 16;
  k.s.spans = in.signed_small();
  // The rest fills the elements.
  for (size_t i = 0; i < r.blocks.size(); i++) {
    userdata *ud = r.at(static_cast<int>(i));
    for (int64_t e = 0; e < ud_count(ud) && in.n; e++) {
      int64_t v = in.word();
      if (type == utype_f64) {
        double f;
        memcpy(&f, &v, 8);
        ud_set_f64(ud, e, f);
      } else {
        ud_set_int(ud, e, v);
      }
    }
  }
  ref::records model = r;
  ud_elementwise_call c = ref::run_real(r, k);
  ref::reference_result m = ref::run_reference(model, k);
  for (size_t i = 0; i < r.blocks.size(); i++)
    if (!ref::same_elements(r.at(static_cast<int>(i)), model.at(static_cast<int>(i)))) abort();
  if (c.total != m.total || c.processed != m.processed) abort();
  return 0;
}
