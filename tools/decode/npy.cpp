#include "npy.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vyr_tool {

int64_t NpyArray::count() const {
    int64_t n = 1;
    for (int64_t d : shape) n *= d;
    return n;
}

std::string NpyArray::dtype() const {
    switch (kind) {
        case 'f':
            return "float" + std::to_string(8 * item_size);
        case 'i':
            return "int" + std::to_string(8 * item_size);
        default:
            return "uint" + std::to_string(8 * item_size);
    }
}

namespace {

const unsigned char kMagic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};

// Cursor over the header dictionary, e.g. {'descr': '<f2', 'fortran_order': False, 'shape': (10, 1024), }
class HeaderParser {
  public:
    explicit HeaderParser(const std::string& text) : s_(text) {}

    std::string parse(std::string* descr, bool* fortran, std::vector<int64_t>* shape) {
        bool seen_descr = false, seen_fortran = false, seen_shape = false;
        skip_space();
        if (!eat('{')) return "header is not a dictionary";
        for (;;) {
            skip_space();
            if (eat('}')) break;
            std::string key;
            if (!string_literal(&key)) return "header key is not a quoted string";
            skip_space();
            if (!eat(':')) return "header has no ':' after '" + key + "'";
            skip_space();
            if (key == "descr") {
                if (!string_literal(descr))
                    return "unsupported dtype (structured or not a string); expected e.g. '<f2'";
                seen_descr = true;
            } else if (key == "fortran_order") {
                if (word("True"))
                    *fortran = true;
                else if (word("False"))
                    *fortran = false;
                else
                    return "fortran_order is neither True nor False";
                seen_fortran = true;
            } else if (key == "shape") {
                std::string e = tuple(shape);
                if (!e.empty()) return e;
                seen_shape = true;
            } else {
                return "unexpected header key '" + key + "'";
            }
            skip_space();
            if (eat(',')) continue;
            skip_space();
            if (eat('}')) break;
            return "header dictionary is malformed";
        }
        skip_space();
        if (pos_ != s_.size()) return "trailing characters after the header dictionary";
        if (!seen_descr || !seen_fortran || !seen_shape)
            return "header lacks one of 'descr', 'fortran_order', 'shape'";
        return "";
    }

  private:
    void skip_space() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n')) ++pos_;
    }
    bool eat(char c) {
        if (pos_ < s_.size() && s_[pos_] == c) return ++pos_, true;
        return false;
    }
    bool word(const char* w) {
        size_t n = std::strlen(w);
        if (s_.compare(pos_, n, w) != 0) return false;
        pos_ += n;
        return true;
    }
    bool string_literal(std::string* out) {
        if (pos_ >= s_.size() || (s_[pos_] != '\'' && s_[pos_] != '"')) return false;
        char quote = s_[pos_++];
        size_t end = s_.find(quote, pos_);
        if (end == std::string::npos) return false;
        *out = s_.substr(pos_, end - pos_);
        pos_ = end + 1;
        return true;
    }
    std::string tuple(std::vector<int64_t>* shape) {
        shape->clear();
        if (!eat('(')) return "shape is not a tuple";
        for (;;) {
            skip_space();
            if (eat(')')) return "";
            if (pos_ >= s_.size() || !(s_[pos_] >= '0' && s_[pos_] <= '9'))
                return "shape holds something other than non-negative integers";
            int64_t v = 0;
            while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
                if (v > (INT64_MAX - 9) / 10) return "shape dimension too large";
                v = v * 10 + (s_[pos_++] - '0');
            }
            eat('L');  // written by old Python 2 versions of NumPy
            shape->push_back(v);
            skip_space();
            if (eat(',')) continue;
            skip_space();
            if (eat(')')) return "";
            return "shape tuple is malformed";
        }
    }

    const std::string& s_;
    size_t pos_ = 0;
};

uint32_t read_le(const unsigned char* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

template <class T>
T element(const NpyArray& a, int64_t i) {
    T v;
    std::memcpy(&v, a.data.data() + i * sizeof(T), sizeof(T));
    return v;
}

// Element i of an integer array, widened; false for a uint64 value above INT64_MAX.
bool integer_at(const NpyArray& a, int64_t i, int64_t* v) {
    switch (a.kind == 'u' ? -a.item_size : a.item_size) {
        case 1:
            *v = element<int8_t>(a, i);
            return true;
        case 2:
            *v = element<int16_t>(a, i);
            return true;
        case 4:
            *v = element<int32_t>(a, i);
            return true;
        case 8:
            *v = element<int64_t>(a, i);
            return true;
        case -1:
            *v = element<uint8_t>(a, i);
            return true;
        case -2:
            *v = element<uint16_t>(a, i);
            return true;
        case -4:
            *v = element<uint32_t>(a, i);
            return true;
        default: {
            uint64_t u = element<uint64_t>(a, i);
            *v = static_cast<int64_t>(u);
            return u <= static_cast<uint64_t>(INT64_MAX);
        }
    }
}

__half half_at(const NpyArray& a, int64_t i) {
    switch (a.item_size) {
        case 2: {
            __half_raw r;
            r.x = element<uint16_t>(a, i);
            return __half(r);
        }
        case 4:
            return __float2half_rn(element<float>(a, i));
        default:
            return __float2half_rn(static_cast<float>(element<double>(a, i)));
    }
}

std::string shape_text(const std::vector<int64_t>& shape) {
    std::string s = "(";
    for (size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
    return s + (shape.size() == 1 ? ",)" : ")");
}

// Parses everything but the data: shape, dtype and where the data starts. `swap` is set for big-endian data.
std::string parse_header(const unsigned char* bytes, size_t size, NpyArray* out, size_t* data_offset,
                         bool* swap) {
    if (size < 10 || std::memcmp(bytes, kMagic, sizeof(kMagic)) != 0) return "not a .npy file (bad magic)";
    const int major = bytes[6];
    if (major < 1 || major > 3) return "unsupported .npy format version " + std::to_string(major);
    const size_t len_bytes = major == 1 ? 2 : 4;
    const size_t prefix = 8 + len_bytes;
    if (size < prefix) return "truncated .npy header";
    const size_t header_len = read_le(bytes + 8, static_cast<int>(len_bytes));
    if (header_len > size - prefix) return "truncated .npy header";
    const std::string header(reinterpret_cast<const char*>(bytes + prefix), header_len);

    std::string descr;
    bool fortran = false;
    std::string e = HeaderParser(header).parse(&descr, &fortran, &out->shape);
    if (!e.empty()) return e;
    if (fortran) return "Fortran-ordered arrays are not supported; save the array in C order";

    if (descr.size() < 3) return "unsupported dtype '" + descr + "'";
    const char order = descr[0], kind = descr[1];
    const std::string size_text = descr.substr(2);
    const int item = size_text == "1"   ? 1
                     : size_text == "2" ? 2
                     : size_text == "4" ? 4
                     : size_text == "8" ? 8
                                        : 0;
    const bool known =
        (kind == 'f' && item >= 2) || ((kind == 'i' || kind == 'u') && item) || (kind == 'b' && item == 1);
    if (!known || (order != '<' && order != '>' && order != '|' && order != '='))
        return "unsupported dtype '" + descr + "'";
    out->kind = kind;
    out->item_size = item;

    // Each dimension is below 2^63; stop the product before it leaves what the file could ever hold.
    uint64_t n = 1;
    for (int64_t d : out->shape) {
        if (d != 0 && n > static_cast<uint64_t>(INT64_MAX) / static_cast<uint64_t>(item) / d)
            return "shape " + shape_text(out->shape) + " is too large";
        n *= static_cast<uint64_t>(d);
    }
    const uint64_t need = n * item, have = size - prefix - header_len;
    if (need != have)
        return "shape " + shape_text(out->shape) + " of " + out->dtype() + " needs " + std::to_string(need) +
               " data bytes, the file holds " + std::to_string(have);
    *data_offset = prefix + header_len;
    *swap = order == '>' && item > 1;
    return "";
}

void to_little_endian(NpyArray* a) {
    for (size_t i = 0; i < a->data.size(); i += a->item_size)
        std::reverse(&a->data[i], &a->data[i] + a->item_size);
}

}  // namespace

std::string parse_npy(const unsigned char* bytes, size_t size, NpyArray* out) {
    size_t offset = 0;
    bool swap = false;
    std::string e = parse_header(bytes, size, out, &offset, &swap);
    if (!e.empty()) return e;
    out->data.assign(bytes + offset, bytes + size);
    if (swap) to_little_endian(out);
    return "";
}

std::string read_npy(const std::string& path, NpyArray* out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return path + ": " + std::strerror(errno);
    std::vector<unsigned char> bytes;
    unsigned char buf[1 << 16];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof(buf), f)) > 0) bytes.insert(bytes.end(), buf, buf + got);
    const bool failed = std::ferror(f);
    std::fclose(f);
    if (failed) return path + ": read error";
    size_t offset = 0;
    bool swap = false;
    std::string e = parse_header(bytes.data(), bytes.size(), out, &offset, &swap);
    if (!e.empty()) return path + ": " + e;
    // Keep the file's buffer as the data: score files can be large.
    bytes.erase(bytes.begin(), bytes.begin() + offset);
    out->data = std::move(bytes);
    if (swap) to_little_endian(out);
    return "";
}

std::string npy_to_scores(const NpyArray& a, std::vector<__half>* scores, int64_t* rows, int* num_scores) {
    if (a.kind != 'f') return "scores must be float16 or float32, not " + a.dtype();
    if (a.shape.size() != 2)
        return "scores must be 2-D [timesteps][num_scores], not of shape " + shape_text(a.shape);
    if (a.shape[1] > INT_MAX) return "too many scores per timestep (" + std::to_string(a.shape[1]) + ")";
    *rows = a.shape[0];
    *num_scores = static_cast<int>(a.shape[1]);
    const int64_t n = a.count();
    scores->resize(n);
    for (int64_t i = 0; i < n; ++i) (*scores)[i] = half_at(a, i);
    return "";
}

std::string npy_to_lengths(const NpyArray& a, std::vector<int>* lengths) {
    if (a.kind != 'i' && a.kind != 'u') return "chunk lengths must be integers, not " + a.dtype();
    if (a.shape.size() != 1) return "chunk lengths must be 1-D, not of shape " + shape_text(a.shape);
    lengths->resize(a.shape[0]);
    for (int64_t i = 0; i < a.shape[0]; ++i) {
        int64_t v = 0;
        if (!integer_at(a, i, &v) || v < 0 || v > INT_MAX)
            return "chunk length " + std::to_string(i) + " is out of range (0 to " + std::to_string(INT_MAX) +
                   ")";
        (*lengths)[i] = static_cast<int>(v);
    }
    return "";
}

std::string npy_to_half_vector(const NpyArray& a, int64_t n, std::vector<__half>* values) {
    if (a.kind != 'f') return "expected float16 or float32 values, not " + a.dtype();
    if (a.shape.size() != 1 || a.shape[0] != n)
        return "expected shape (" + std::to_string(n) + ",), not " + shape_text(a.shape);
    values->resize(n);
    for (int64_t i = 0; i < n; ++i) (*values)[i] = half_at(a, i);
    return "";
}

std::vector<unsigned char> make_npy(const std::string& descr, const std::vector<int64_t>& shape,
                                    const void* data, size_t bytes) {
    std::string header =
        "{'descr': '" + descr + "', 'fortran_order': False, 'shape': " + shape_text(shape) + ", }";
    // The data starts on a 64-byte boundary; the header ends with a newline.
    const size_t unpadded = 10 + header.size() + 1;
    header.append((64 - unpadded % 64) % 64, ' ');
    header += '\n';
    std::vector<unsigned char> out(kMagic, kMagic + sizeof(kMagic));
    out.push_back(1);
    out.push_back(0);
    out.push_back(static_cast<unsigned char>(header.size() & 0xff));
    out.push_back(static_cast<unsigned char>(header.size() >> 8));
    out.insert(out.end(), header.begin(), header.end());
    const unsigned char* p = static_cast<const unsigned char*>(data);
    out.insert(out.end(), p, p + bytes);
    return out;
}

std::string write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return path + ": " + std::strerror(errno);
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !ok) return path + ": write error";
    return "";
}

}  // namespace vyr_tool
