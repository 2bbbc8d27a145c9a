#include "harness.h"

#include <cmath>

namespace vyr_test {

std::vector<__half> to_half(const std::vector<float>& v) {
    std::vector<__half> h(v.size());
    for (size_t i = 0; i < v.size(); ++i) h[i] = __float2half_rn(v[i]);
    return h;
}

std::vector<float> to_float(const std::vector<__half>& v) {
    std::vector<float> f(v.size());
    for (size_t i = 0; i < v.size(); ++i) f[i] = __half2float(v[i]);
    return f;
}

std::vector<float> round_to_half(const std::vector<float>& v) {
    return to_float(to_half(v));
}

namespace {

// `tol(i, e)` is the bound of element i, whose expected value is e; a NaN bound with a NaN expected value
// skips the element.
template <class A, class E, class Tol>
::testing::AssertionResult compare(const std::vector<A>& actual, const std::vector<E>& expected, Tol tol) {
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure()
               << "sizes differ: " << actual.size() << " vs " << expected.size();
    size_t bad = 0;
    std::string first;
    for (size_t i = 0; i < actual.size(); ++i) {
        const double a = actual[i], e = expected[i], t = tol(i, e);
        bool ok;
        if (std::isnan(e) && std::isnan(t)) {
            ok = true;
        } else if (std::isnan(e) || std::isnan(a)) {
            ok = std::isnan(e) && std::isnan(a);
        } else if (std::isinf(e) || std::isinf(a)) {
            ok = a == e;
        } else {
            ok = std::fabs(a - e) <= t;
        }
        if (!ok && bad++ < 5)
            first += "\n  [" + std::to_string(i) + "] got " + std::to_string(a) + ", expected " +
                     std::to_string(e) + " +- " + std::to_string(t);
    }
    if (bad == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << bad << " of " << actual.size() << " elements outside:" << first;
}

}  // namespace

::testing::AssertionResult all_near(const std::vector<float>& actual, const std::vector<float>& expected,
                                    double abs_tol, double rel_tol) {
    return compare(actual, expected, [&](size_t, double e) { return abs_tol + rel_tol * std::fabs(e); });
}
::testing::AssertionResult all_near(const std::vector<double>& actual, const std::vector<double>& expected,
                                    double abs_tol, double rel_tol) {
    return compare(actual, expected, [&](size_t, double e) { return abs_tol + rel_tol * std::fabs(e); });
}
::testing::AssertionResult all_within(const std::vector<float>& actual, const std::vector<double>& expected,
                                      const std::vector<double>& bound) {
    return compare(actual, expected, [&](size_t i, double) { return bound[i]; });
}

}  // namespace vyr_test
