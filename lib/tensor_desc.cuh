// Host-side checks of TensorDesc arguments shared by the transformer entry points: a descriptor matches an
// expected rank and (name, size) sequence when every name is present, every size is as expected and every
// stride is the product of the sizes inside it (dense in the expected order, whatever order `dims` lists).
#pragma once

#include <cstdint>
#include <initializer_list>

#include "vyr.h"

namespace vyr {

// Dimension names as character codes; one dimension of the QKV tensors is named 0.
enum DimName : int32_t {
    kDimPart = 0,
    kDimC = 'C',
    kDimD = 'D',
    kDimH = 'H',
    kDimK = 'K',
    kDimM = 'M',
    kDimN = 'N',
    kDimT = 'T',
    kDimc = 'c',
    kDimd = 'd',
    kDimk = 'k',
    kDimm = 'm',
    kDimn = 'n',
    kDimt = 't',
};

// Larger tensors are refused: element counts and byte offsets stay far from 64-bit overflow.
constexpr int64_t kMaxElements = int64_t(1) << 40;

struct DimExpect {
    int32_t name;
    int64_t size;  // -1: read from the descriptor
};

// The first entry of `dims` with this name, or null.
inline const DimDesc* find_dim(const TensorDesc* t, int32_t name) {
    for (const DimDesc& d : t->dims)
        if (d.name == name) return &d;
    return nullptr;
}

// Size of a named dimension, or -1 when the descriptor has no such dimension.
inline int64_t dim_size(const TensorDesc* t, int32_t name) {
    const DimDesc* d = t ? find_dim(t, name) : nullptr;
    return d ? d->size : -1;
}

// True when t has the type and rank and is dense in the expected order with the expected sizes. Sizes must
// not be negative; zero is accepted here and judged by each function.
inline bool matches(const TensorDesc* t, uint32_t dtype, std::initializer_list<DimExpect> expect) {
    if (!t || t->dtype != dtype || t->ndims != (int32_t)expect.size()) return false;
    int64_t stride = 1;
    for (auto e = expect.end(); e != expect.begin();) {
        --e;
        const DimDesc* d = find_dim(t, e->name);
        if (!d || d->size < 0 || (e->size >= 0 && d->size != e->size) || d->stride != stride) return false;
        if (d->size > 0 && stride > kMaxElements / d->size) return false;
        stride *= d->size;
    }
    return true;
}

// Scales of an int8 operand: absent, or float with the reduced dimension named as expected.
inline bool scales_ok(const TensorDesc* t, int32_t scale_dim) {
    if (!t->scale_data) return true;
    return t->dtype == VYR_TYPE_INT8 && t->scale_dim == scale_dim && t->scale_dtype == VYR_TYPE_FLOAT;
}

// cp.async moves 16 bytes at a time and results are stored as aligned words.
inline bool data_ok(const TensorDesc* t) {
    return t->data && reinterpret_cast<uintptr_t>(t->data) % 16 == 0;
}

}  // namespace vyr
