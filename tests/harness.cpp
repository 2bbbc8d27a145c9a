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

template <class T>
::testing::AssertionResult near_impl(const std::vector<T>& actual, const std::vector<T>& expected,
                                     double abs_tol, double rel_tol) {
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure()
               << "sizes differ: " << actual.size() << " vs " << expected.size();
    size_t bad = 0;
    std::string first;
    for (size_t i = 0; i < actual.size(); ++i) {
        const double a = actual[i], e = expected[i];
        bool ok;
        if (std::isnan(e) || std::isnan(a)) {
            ok = std::isnan(e) && std::isnan(a);
        } else if (std::isinf(e) || std::isinf(a)) {
            ok = a == e;
        } else {
            ok = std::fabs(a - e) <= abs_tol + rel_tol * std::fabs(e);
        }
        if (!ok && bad++ < 5)
            first += "\n  [" + std::to_string(i) + "] got " + std::to_string(a) + ", expected " +
                     std::to_string(e);
    }
    if (bad == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << bad << " of " << actual.size() << " elements outside abs "
                                         << abs_tol << " + rel " << rel_tol << ":" << first;
}

}  // namespace

::testing::AssertionResult all_near(const std::vector<float>& actual, const std::vector<float>& expected,
                                    double abs_tol, double rel_tol) {
    return near_impl(actual, expected, abs_tol, rel_tol);
}
::testing::AssertionResult all_near(const std::vector<double>& actual, const std::vector<double>& expected,
                                    double abs_tol, double rel_tol) {
    return near_impl(actual, expected, abs_tol, rel_tol);
}

}  // namespace vyr_test
